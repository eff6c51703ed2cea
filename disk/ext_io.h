// A read-only libext2fs io_manager over a partition's own operations (part->ops->pos_read), so
// the ext handler reads a live partition, a partition reached through its whole disk at an
// offset, and a partition of a snapshot alike. Internal to the disk library.
//
// libext2fs opens a device by name; the channel name of a partition is "tavpart:<address>".
// A name is accepted only while an ExtIoBinding for that partition exists, so a stale or forged
// name never turns into a pointer. Writes of every kind fail with EXT2_ET_RO_FILSYS, and a
// read that returns fewer bytes than asked is an error (EXT2_ET_SHORT_READ), never data.
#pragma once

#include <ext2fs/ext2fs.h>

#include <string>

#include "disk/disk.h"

namespace tav::disk {

// The io manager; the object is static and lives as long as the process.
io_manager ext_io_manager();

// Makes `part` reachable through ext_io_manager() under name() while the binding lives. The
// partition must be open for reading (the binding does not open it) and must outlive the binding
// and every channel opened under its name. Thread-safe: bindings of different partitions may be
// made and dropped from several threads.
class ExtIoBinding {
 public:
  explicit ExtIoBinding(BACKUP_PARTITION_INFO* part);
  ~ExtIoBinding();
  ExtIoBinding(const ExtIoBinding&) = delete;
  ExtIoBinding& operator=(const ExtIoBinding&) = delete;

  // The name to hand to ext2fs_open2 together with ext_io_manager().
  const std::string& name() const { return name_; }

 private:
  BACKUP_PARTITION_INFO* part_;
  std::string name_;
};

}  // namespace tav::disk
