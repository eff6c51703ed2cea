// Opening a partition for the length of one handler operation.
#include "disk/part_open.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace tav::disk {

bool partition_is_open(const BACKUP_PARTITION_INFO* part) {
  return part != nullptr && (part->fd >= 0 || part->open_mode >= 0);
}

PartitionReadScope::PartitionReadScope(BACKUP_PARTITION_INFO* part) : part_(part) {
  if (part == nullptr || part->ops == nullptr || part->ops->open == nullptr || part->ops->pos_read == nullptr) {
    status_ = Status::invalid_argument("partition without operations");
    return;
  }
  if (partition_is_open(part)) return;
  errno = 0;
  if (part->ops->open(part, kOpenRead) < 0) {
    if (errno == 0) errno = EIO;
    status_ = Status::io_error(std::string("cannot open the partition: ") + std::strerror(errno));
    return;
  }
  opened_ = true;
}

PartitionReadScope::~PartitionReadScope() {
  if (!opened_ || part_->ops->close == nullptr) return;
  const int saved = errno;
  part_->ops->close(part_);
  errno = saved;
}

}  // namespace tav::disk
