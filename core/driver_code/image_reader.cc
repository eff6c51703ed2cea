// Placeholder until the sector reader lands.
#include "core/driver_code/image_reader.h"

#include <cerrno>

namespace {

int64_t refuse_read(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, void*) {
  errno = ENOSYS;
  return -1;
}
int64_t refuse_write(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, const void*) {
  errno = EROFS;
  return -1;
}
int finish_nothing(BACKUP_PARTITION_INFO*) { return 0; }
int open_refused(BACKUP_PARTITION_INFO*, int) { return -1; }
int close_nothing(BACKUP_PARTITION_INFO*) { return 0; }

const PART_OPERATIONS kImagePartOps = {refuse_read,    refuse_write, refuse_read, refuse_write,
                                       finish_nothing, open_refused, close_nothing};

}  // namespace

const PART_OPERATIONS* libtavimg_image_part_operations() { return &kImagePartOps; }
int tav_start_read_part(BACKUP_PARTITION_INFO*) { return -1; }
void tav_end_read_part(BACKUP_PARTITION_INFO*) {}
int64_t tav_image_read_sectors(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, void*) { return -1; }
int64_t tav_image_read(BACKUP_PARTITION_INFO*, uint64_t, uint32_t, void*) { return -1; }
const IMAGE_RUN_VECTOR* libtavimg_get_part_run_vector(const BACKUP_PARTITION_INFO*) { return nullptr; }
