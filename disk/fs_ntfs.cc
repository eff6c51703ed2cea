// Placeholder until the ntfs handler lands: registers nothing.
#include "disk/fs_registry.h"
void tav_file_system_ntfs_init() {}
