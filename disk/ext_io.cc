// The read-only libext2fs io_manager over partition operations (see ext_io.h).
#include "disk/ext_io.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace tav::disk {
namespace {

constexpr char kNamePrefix[] = "tavpart:";

std::mutex& bindings_mutex() {
  static std::mutex m;
  return m;
}

// Partitions with a live binding; a multiset because nested operations may bind one twice.
std::multiset<const BACKUP_PARTITION_INFO*>& bindings() {
  static std::multiset<const BACKUP_PARTITION_INFO*> set;
  return set;
}

// The bound partition a channel name stands for, or null.
BACKUP_PARTITION_INFO* partition_for_name(const char* name) {
  if (name == nullptr || std::strncmp(name, kNamePrefix, sizeof(kNamePrefix) - 1) != 0) return nullptr;
  const char* digits = name + sizeof(kNamePrefix) - 1;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits, &end, 16);
  if (errno != 0 || end == digits || *end != '\0') return nullptr;
  std::lock_guard<std::mutex> lock(bindings_mutex());
  for (const BACKUP_PARTITION_INFO* p : bindings()) {
    if (reinterpret_cast<uintptr_t>(p) == uintptr_t(value)) return const_cast<BACKUP_PARTITION_INFO*>(p);
  }
  return nullptr;
}

struct ChannelData {
  BACKUP_PARTITION_INFO* part;
};

BACKUP_PARTITION_INFO* channel_part(io_channel channel) {
  if (channel == nullptr || channel->magic != EXT2_ET_MAGIC_IO_CHANNEL || channel->private_data == nullptr) {
    return nullptr;
  }
  return static_cast<ChannelData*>(channel->private_data)->part;
}

errcode_t io_open(const char* name, int flags, io_channel* channel);

errcode_t io_close(io_channel channel) {
  if (channel == nullptr || channel->magic != EXT2_ET_MAGIC_IO_CHANNEL) return EXT2_ET_MAGIC_IO_CHANNEL;
  if (--channel->refcount > 0) return 0;
  delete static_cast<ChannelData*>(channel->private_data);
  ext2fs_free_mem(&channel->name);
  ext2fs_free_mem(&channel);
  return 0;
}

errcode_t io_set_blksize(io_channel channel, int block_size) {
  if (channel_part(channel) == nullptr) return EXT2_ET_MAGIC_IO_CHANNEL;
  if (block_size <= 0) return EXT2_ET_INVALID_ARGUMENT;
  channel->block_size = block_size;
  return 0;
}

// Reads `count` blocks (or -count bytes when count is negative, libext2fs's convention) at
// `block`; everything or an error.
errcode_t io_read_blk64(io_channel channel, unsigned long long block, int count, void* data) {
  BACKUP_PARTITION_INFO* part = channel_part(channel);
  if (part == nullptr) return EXT2_ET_MAGIC_IO_CHANNEL;
  if (data == nullptr || part->ops == nullptr || part->ops->pos_read == nullptr) return EXT2_ET_INVALID_ARGUMENT;
  const uint64_t block_size = uint64_t(channel->block_size);
  const uint64_t bytes = count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * block_size;
  if (block > UINT64_MAX / block_size) return EXT2_ET_INVALID_ARGUMENT;  // corrupt block number
  const uint64_t offset = block * block_size;
  if (offset > UINT64_MAX - bytes) return EXT2_ET_INVALID_ARGUMENT;
  // pos_read takes 32-bit lengths; read in pieces that always fit.
  constexpr uint64_t kPieceBytes = 1u << 30;
  auto* out = static_cast<uint8_t*>(data);
  errcode_t error = 0;
  uint64_t done = 0;
  while (done < bytes && error == 0) {
    const uint64_t piece = std::min(bytes - done, kPieceBytes);
    errno = 0;
    const int64_t got = part->ops->pos_read(part, offset + done, uint32_t(piece), out + done);
    if (got < 0) {
      error = errno != 0 ? errcode_t(errno) : errcode_t(EIO);
    } else if (uint64_t(got) != piece) {
      error = EXT2_ET_SHORT_READ;
      done += std::min(uint64_t(got), piece);
    } else {
      done += piece;
    }
  }
  if (error == 0) return 0;
  // What was not read is not left as stale bytes for a caller that ignores the error.
  std::memset(data, 0, size_t(bytes));
  if (channel->read_error != nullptr) {
    return channel->read_error(channel, (unsigned long)block, count, data, size_t(bytes),
                               int(std::min<uint64_t>(done, INT32_MAX)), error);
  }
  return error;
}

errcode_t io_read_blk(io_channel channel, unsigned long block, int count, void* data) {
  return io_read_blk64(channel, block, count, data);
}

errcode_t io_write_blk(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t io_write_blk64(io_channel, unsigned long long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t io_write_byte(io_channel, unsigned long, int, const void*) { return EXT2_ET_RO_FILSYS; }
errcode_t io_discard(io_channel, unsigned long long, unsigned long long) { return EXT2_ET_RO_FILSYS; }
errcode_t io_zeroout(io_channel, unsigned long long, unsigned long long) { return EXT2_ET_RO_FILSYS; }
errcode_t io_flush(io_channel channel) { return channel_part(channel) != nullptr ? 0 : EXT2_ET_MAGIC_IO_CHANNEL; }
errcode_t io_set_option(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct struct_io_manager make_manager() {
  struct struct_io_manager m;
  std::memset(&m, 0, sizeof(m));
  m.magic = EXT2_ET_MAGIC_IO_MANAGER;
  m.name = "tav partition I/O manager";
  m.open = io_open;
  m.close = io_close;
  m.set_blksize = io_set_blksize;
  m.read_blk = io_read_blk;
  m.write_blk = io_write_blk;
  m.flush = io_flush;
  m.write_byte = io_write_byte;
  m.set_option = io_set_option;
  m.read_blk64 = io_read_blk64;
  m.write_blk64 = io_write_blk64;
  m.discard = io_discard;
  m.zeroout = io_zeroout;
  return m;
}

struct struct_io_manager g_manager = make_manager();

errcode_t io_open(const char* name, int flags, io_channel* channel) {
  if (channel == nullptr) return EXT2_ET_INVALID_ARGUMENT;
  *channel = nullptr;
  if (flags & IO_FLAG_RW) return EXT2_ET_RO_FILSYS;
  BACKUP_PARTITION_INFO* part = partition_for_name(name);
  if (part == nullptr) return EXT2_ET_BAD_DEVICE_NAME;

  io_channel io = nullptr;
  errcode_t error = ext2fs_get_memzero(sizeof(struct struct_io_channel), &io);
  if (error != 0) return error;
  const size_t name_bytes = std::strlen(name) + 1;
  error = ext2fs_get_mem(name_bytes, &io->name);
  if (error != 0) {
    ext2fs_free_mem(&io);
    return error;
  }
  std::memcpy(io->name, name, name_bytes);
  io->private_data = new (std::nothrow) ChannelData{part};
  if (io->private_data == nullptr) {
    ext2fs_free_mem(&io->name);
    ext2fs_free_mem(&io);
    return EXT2_ET_NO_MEMORY;
  }
  io->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  io->manager = &g_manager;
  io->block_size = 1024;
  io->refcount = 1;
  *channel = io;
  return 0;
}

}  // namespace

io_manager ext_io_manager() { return &g_manager; }

ExtIoBinding::ExtIoBinding(BACKUP_PARTITION_INFO* part) : part_(part) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s%" PRIxPTR, kNamePrefix, reinterpret_cast<uintptr_t>(part));
  name_ = text;
  std::lock_guard<std::mutex> lock(bindings_mutex());
  bindings().insert(part_);
}

ExtIoBinding::~ExtIoBinding() {
  std::lock_guard<std::mutex> lock(bindings_mutex());
  auto it = bindings().find(part_);
  if (it != bindings().end()) bindings().erase(it);
}

}  // namespace tav::disk
