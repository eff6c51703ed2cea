// Whether a partition is open, and a scope that opens it for reading only when it is not, so
// that every handler operation leaves a partition as it found it.
#pragma once

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk {

// True while the partition is open: every operations table's open sets `open_mode` and its
// close clears it; partitions of real disks also hold a descriptor.
bool partition_is_open(const BACKUP_PARTITION_INFO* part);

// Opens `part` for reading when it is not open yet and closes it again when the scope ends
// (errno is kept across that close); a partition that was open already is left open.
class PartitionReadScope {
 public:
  explicit PartitionReadScope(BACKUP_PARTITION_INFO* part);
  ~PartitionReadScope();
  PartitionReadScope(const PartitionReadScope&) = delete;
  PartitionReadScope& operator=(const PartitionReadScope&) = delete;

  bool ok() const { return status_.is_ok(); }
  // Why the partition could not be opened: "partition without operations" when it has no
  // operations table with open and pos_read, else "cannot open the partition: <reason>".
  const Status& status() const { return status_; }

 private:
  BACKUP_PARTITION_INFO* part_;
  bool opened_ = false;
  Status status_;
};

}  // namespace tav::disk
