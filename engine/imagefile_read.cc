// Placeholder until the read-ahead lands.
#include "engine/imagefile_read.h"

int imagefile_read_init(int32_t, IMAGE_RUN_VECTOR* runs, THREAD_GUI_DATA*, BACKUP_PARTITION_INFO*, int32_t) {
  libtavpub_release_image_run_vector(runs);
  return -1;
}
int64_t imagefile_read_sectors(void*, uint32_t, THREAD_GUI_DATA*, BACKUP_PARTITION_INFO*, int64_t) { return -1; }
void imagefile_read_uninit() {}
