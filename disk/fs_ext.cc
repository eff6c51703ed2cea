// Placeholder until the ext handler lands: registers nothing.
#include "disk/fs_registry.h"
void tav_file_system_ext_init() {}
