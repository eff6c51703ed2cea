// Placeholder until the fat handler lands: registers nothing.
#include "disk/fs_registry.h"
void tav_file_system_fat16_init() {}
void tav_file_system_fat32_init() {}
