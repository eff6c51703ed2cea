// The image writer: the volume files of one snapshot (layout in format/ego_format.h).
//
// Every write goes to an explicit file offset. `pos` is where the next byte outside the write
// buffer goes; the buffer's first byte belongs at `pos`, so the current position of the volume
// is pos + fill.
#include "engine/image_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "format/ego_records.h"
#include "image/image_catalogue.h"
#include "format/image_name.h"
#include "format/struct_sum.h"
#include "core/last_error.h"
#include "core/text_convert.h"
#include "core/progress_channel.h"
#include "core/time_word.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "engine/descriptor_area.h"

namespace tav::engine {

namespace pl = img::part_layout;

namespace {

constexpr uint32_t kFramingBytes = img::FormatVersion{}.unit_framing_bytes();
constexpr uint32_t kRunsPerChunk = uint32_t(img::kRunTableChunkBytes / img::kFlatRunSize);

// What the next unit may add to a volume: the unit itself and its location entry. A stored
// unit can be a little longer than the 131072 bytes it holds, so the largest one is assumed,
// which keeps every volume within its limit.
constexpr uint64_t kNextUnitAmount = kMaxFramedUnitBytes + img::kLocationEntrySize;

// The comment as stored: at most 512 UTF-16 units (never half a surrogate pair) and a zero.
std::vector<uint8_t> comment_bytes(const std::string& comment) {
  std::u16string text = utf8_to_utf16(comment);
  if (text.size() > img::kMaxCommentChars) {
    size_t n = img::kMaxCommentChars;
    if (text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    text.resize(n);
  }
  std::vector<uint8_t> bytes((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) put_le16(&bytes[i * 2], uint16_t(text[i]));
  return bytes;
}

int open_for_write(const std::string& name, bool truncate) {
  int flags = O_RDWR | O_CLOEXEC;
  if (truncate) flags |= O_CREAT | O_TRUNC;
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0, or an errno value.
int write_all_at(int fd, uint64_t offset, const uint8_t* data, size_t size) {
  while (size != 0) {
    const ssize_t n = ::pwrite(fd, data, size, off_t(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    data += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return 0;
}

}  // namespace

struct ImageWriter::State {
  std::string directory;
  std::string base_name;
  bool has_comment = false;
  std::vector<uint8_t> comment;  // as stored (UTF-16LE with its zero)
  _DISK_INFOMATION* disks = nullptr;
  uint64_t volume_limit = 0;
  THREAD_GUI_DATA* channel = nullptr;

  img::EGO_IMAGE_HEADER header;
  img::EGO_IMAGE_TAILER tailer;

  bool begun = false;
  Status failure;  // the first failed step; every later step returns it again
  uint32_t first_vol = 0;
  uint32_t cur_vol = 0;
  std::string file_name;  // of the open volume
  int fd = -1;
  // Files this run created, deleted by abort. A volume name that could not be created is not
  // here, so an existing file of another snapshot is never deleted by mistake.
  std::vector<std::string> created;

  uint64_t descriptor_pos = 0;  // of the first volume
  uint64_t data_start = 0;      // of the open volume
  uint64_t pos = 0;
  uint64_t last_descriptor_bytes = 0;

  std::vector<uint64_t> locations;             // of the open volume
  std::vector<img::EGO_UNIT_INFO> unit_infos;  // of the open volume, the open segment's last
  bool segment_open = false;
  BACKUP_PARTITION_INFO* segment_part = nullptr;
  uint64_t segment_units_end = 0;  // just after the open segment's last unit

  std::vector<uint8_t> buffer;
  size_t fill = 0;

  // Counts the error on the progress channel and keeps it as the run's failure.
  Status fail_io(const std::string& what, int err) {
    if (channel != nullptr) ++channel->error_count;
    set_last_error(uint32_t(err));
    failure = Status::io_error(what + " " + file_name + ": " + std::strerror(err));
    return failure;
  }

  Status write_at(uint64_t offset, const uint8_t* data, size_t size) {
    const int err = write_all_at(fd, offset, data, size);
    return err == 0 ? Status::ok() : fail_io("cannot write", err);
  }

  Status write_header() {
    img::EGO_IMAGE_HEADER h = header;
    h.vol = cur_vol;
    std::array<uint8_t, img::kHeaderSize> bytes{};
    img::encode_image_header(h, bytes);
    return write_at(0, bytes.data(), bytes.size());
  }

  Status flush_buffer() {
    if (fill == 0) return Status::ok();
    Status st = write_at(pos, buffer.data(), fill);
    if (!st) return st;
    pos += fill;
    fill = 0;
    return Status::ok();
  }

  // A segment's range covers its units only: a run table written inside the segment (before
  // the units of a full partition, after those of a dependent one) stays outside it, or the
  // last unit's stored length, which ends at seg_end, would take the run table in.
  void start_record() {
    img::EGO_UNIT_INFO info;
    info.seg_start = pos + fill;
    info.loc_offset = img::kLocationEntrySize * locations.size();
    unit_infos.push_back(info);
    segment_units_end = info.seg_start;
    segment_open = true;
  }

  // Records a unit placed at `offset`.
  void add_unit(uint64_t offset, size_t size) {
    img::EGO_UNIT_INFO& info = unit_infos.back();
    if (locations.size() * img::kLocationEntrySize == info.loc_offset) info.seg_start = offset;
    locations.push_back(offset);
    segment_units_end = offset + size;
  }

  Status end_record() {
    Status st = flush_buffer();
    if (!st) return st;
    img::EGO_UNIT_INFO& info = unit_infos.back();
    info.loc_bytes = uint32_t(img::kLocationEntrySize * locations.size() - info.loc_offset);
    info.seg_end = info.loc_bytes != 0 ? segment_units_end : info.seg_start;
    segment_open = false;
    return Status::ok();
  }

  // Creates volume cur_vol and writes everything before its data area.
  Status open_volume() {
    auto name = img::image_volume_name(directory, base_name, int(cur_vol));
    if (!name) return failure = Status::invalid_argument("image writer: bad volume number");
    file_name = *name;
    fd = open_for_write(file_name, true);
    if (fd < 0) return fail_io("cannot create", errno);
    created.push_back(file_name);

    tailer = img::EGO_IMAGE_TAILER{};
    tailer.num_disks = header.num_disks;
    locations.clear();
    unit_infos.clear();
    segment_open = false;
    fill = 0;
    Status st = write_header();
    if (!st) return st;

    pos = img::kHeaderSize;
    if (has_comment) {
      header.comment_offset = pos;
      header.comment_length = uint32_t(comment.size());
      if (!(st = write_at(pos, comment.data(), comment.size()))) return st;
      pos += comment.size();
    } else {
      header.comment_offset = 0;
      header.comment_length = 0;
    }
    if (cur_vol == first_vol) descriptor_pos = pos;
    DescriptorArea area;
    build_descriptor_area(disks, pos, false, &area);
    if (!(st = write_at(pos, area.bytes.data(), area.bytes.size()))) return st;
    header.disk_table_offset = area.disk_table_offset;
    header.num_disks = area.num_disks;
    last_descriptor_bytes = area.bytes.size();
    pos += area.bytes.size();
    data_start = pos;
    return write_header();
  }

  // Writes the tail of the open volume (location table, unit-info records, the second
  // descriptor copy, the comment, the tailer), makes it durable and closes it.
  Status close_volume() {
    Status st = flush_buffer();
    if (!st) return st;
    std::vector<uint8_t> tail;
    tailer.data_start = data_start;
    tailer.location_offset = pos;
    img::encode_location_table(locations, &tail);
    tailer.unit_info_offset = pos + tail.size();
    tailer.unit_info_count = uint32_t(unit_infos.size() - (segment_open ? 1 : 0));
    for (uint32_t i = 0; i < tailer.unit_info_count; ++i) {
      std::array<uint8_t, img::kUnitInfoSize> rec{};
      img::encode_unit_info(unit_infos[i], rec);
      tail.insert(tail.end(), rec.begin(), rec.end());
    }
    DescriptorArea area;
    build_descriptor_area(disks, pos + tail.size(), false, &area);
    tailer.disk_table_offset = area.disk_table_offset;
    tailer.num_disks = area.num_disks;
    tail.insert(tail.end(), area.bytes.begin(), area.bytes.end());
    if (has_comment) {
      tailer.comment_offset = pos + tail.size();
      tailer.comment_length = uint32_t(comment.size());
      tail.insert(tail.end(), comment.begin(), comment.end());
    }
    std::array<uint8_t, img::kTailerSize> rec{};
    img::encode_image_tailer(tailer, rec);
    tail.insert(tail.end(), rec.begin(), rec.end());
    if (!(st = write_at(pos, tail.data(), tail.size()))) return st;
    pos += tail.size();
    return sync_and_close();
  }

  Status sync_and_close() {
    if (::fsync(fd) != 0) return fail_io("cannot flush", errno);
    const int fd_to_close = fd;
    fd = -1;
    if (::close(fd_to_close) != 0) return fail_io("cannot close", errno);
    return Status::ok();
  }

  // Splits the volume when `amount` more bytes might not fit under the limit. A volume whose
  // data area is still empty is never split: the next one could not take more.
  Status check_limit(uint64_t amount) {
    if (volume_limit == 0) return Status::ok();
    if (pos + fill == data_start) return Status::ok();
    const uint64_t records = unit_infos.size() + (segment_open ? 0 : 1);
    const uint64_t estimate = pos + fill + img::kUnitInfoSize * records + comment.size() +
                              img::kLocationEntrySize * locations.size() + last_descriptor_bytes + amount;
    if (estimate + img::kTailerSize < volume_limit) return Status::ok();
    return split();
  }

  Status split() {
    // Readers refuse a snapshot of more volumes; failing now beats reporting success for a
    // snapshot that can never be loaded.
    if (cur_vol - first_vol + 1 >= img::kMaxVolumesPerSnapshot) {
      if (channel != nullptr) ++channel->error_count;
      return failure = Status::not_supported("image writer: a snapshot cannot have more than " +
                                             std::to_string(img::kMaxVolumesPerSnapshot) + " volumes");
    }
    const bool continuing = segment_open;
    Status st;
    if (continuing && !(st = end_record())) return st;
    if (!(st = close_volume())) return st;
    ++cur_vol;
    if (!(st = open_volume())) return st;
    if (continuing) start_record();
    return Status::ok();
  }

  // Rewrites the first volume's descriptor area with the final partition records and only then,
  // once that is on disk, gives its header total_vol: until then the volume reads as the first
  // volume of a backup that never finished.
  Status finish_first_volume() {
    const uint32_t total_vol = cur_vol - first_vol + 1;
    file_name = *img::image_volume_name(directory, base_name, int(first_vol));
    fd = open_for_write(file_name, false);
    if (fd < 0) return fail_io("cannot reopen", errno);
    DescriptorArea area;
    build_descriptor_area(disks, descriptor_pos, true, &area);
    if (area.bytes.size() != last_descriptor_bytes) {
      // The disk list changed during the run; the final area would overwrite the data.
      return failure = Status::invalid_argument("image writer: the disk list changed during the backup");
    }
    Status st = write_at(descriptor_pos, area.bytes.data(), area.bytes.size());
    if (!st) return st;
    if (::fsync(fd) != 0) return fail_io("cannot flush", errno);
    header.disk_table_offset = area.disk_table_offset;
    header.total_vol = total_vol;
    const uint32_t saved_cur = cur_vol;
    cur_vol = first_vol;
    st = write_header();
    cur_vol = saved_cur;
    if (!st) return st;
    return sync_and_close();
  }

  Status sync_directory() {
    const std::string dir = directory.empty() ? "." : directory;
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return fail_io("cannot open directory", errno);
    const int rc = ::fsync(dfd);
    const int err = errno;
    ::close(dfd);
    // Some file systems cannot sync a directory; their entries are then as durable as it gets.
    if (rc != 0 && err != EINVAL && err != ENOTSUP) return fail_io("cannot flush directory", err);
    return Status::ok();
  }

  Status usable() const {
    if (!failure.is_ok()) return failure;
    if (!begun) return Status::invalid_argument("image writer: no run begun");
    return Status::ok();
  }
};

ImageWriter::ImageWriter() : state_(std::make_unique<State>()) {}

ImageWriter::~ImageWriter() {
  if (state_->begun) abort();
}

Status ImageWriter::begin(const ImageWriterRequest& request) {
  State& s = *state_;
  if (s.begun) return Status::invalid_argument("image writer: a run is already begun");
  const bool full = request.backup_type == img::kBackupFull;
  if (!full && request.backup_type != img::kBackupIncremental &&
      request.backup_type != img::kBackupDifferential) {
    return Status::invalid_argument("image writer: unknown backup type");
  }
  if (request.compress_mode > img::kCompressHigh) {
    return Status::invalid_argument("image writer: unknown compress mode");
  }
  if (!full && request.storage == nullptr) {
    return Status::invalid_argument("image writer: a dependent backup needs its storage");
  }
  if (request.base_name.empty()) return Status::invalid_argument("image writer: no base name");

  // Only partitions the disk library can back up stay selected.
  for (_DISK_INFOMATION* disk = request.disks; disk != nullptr; disk = disk->next) {
    for (auto& part : disk->parts) part->selected = tav_partition_is_backup(part.get()) ? 1 : 0;
  }
  const uint32_t num_disks = count_disks_with_selection(request.disks);
  if (num_disks == 0) return Status::invalid_argument("image writer: no partition selected");
  // Readers take 1 to 24 disk records; more would make the snapshot unloadable.
  if (num_disks > img::kMaxDisks) return Status::invalid_argument("image writer: more than 24 disks selected");

  *state_ = State{};
  s.directory = request.directory;
  s.base_name = request.base_name;
  s.has_comment = request.comment.has_value();
  if (s.has_comment) s.comment = comment_bytes(*request.comment);
  s.disks = request.disks;
  s.volume_limit = request.volume_limit;
  s.channel = request.channel;
  s.first_vol = request.first_vol;
  s.cur_vol = request.first_vol;
  const size_t buffer_bytes = request.write_buffer_bytes == 0 ? 2 * kMaxFramedUnitBytes : request.write_buffer_bytes;
  s.buffer.assign(std::max(buffer_bytes, kMaxFramedUnitBytes), 0);

  const time_t now = request.now.value_or(std::time(nullptr));
  const SYSTIME systime = systime_from_time(now);
  img::EGO_IMAGE_HEADER& h = s.header;
  h = img::EGO_IMAGE_HEADER{};
  const bool new_storage = request.storage == nullptr || !request.storage_exists;
  h.signature = full && new_storage ? uint32_t(now) : request.storage->signature;
  h.create_time = libtavpub_convert_systime_dword(&systime);
  h.create_systime = systime;
  h.compress_mode = request.compress_mode;
  h.num_disks = num_disks;
  h.backup_type = request.backup_type;
  h.first_vol = request.first_vol;
  h.first_vol2 = request.first_vol;
  h.snap_seq = full ? 0 : uint32_t(libtavimg_get_max_inner_snap_seq(request.storage) + 1);

  s.begun = true;
  Status st = s.open_volume();
  if (!st) {
    abort();
    s.failure = Status::ok();
    return st;
  }
  return Status::ok();
}

Status ImageWriter::start_segment(BACKUP_PARTITION_INFO* part) {
  State& s = *state_;
  Status st = s.usable();
  if (!st) return st;
  if (part == nullptr) return Status::invalid_argument("image writer: no partition");
  if (s.segment_open) return Status::invalid_argument("image writer: a segment is already open");
  s.start_record();
  s.segment_part = part;
  disk::set_rec_u32(*part, pl::kStartVol, s.cur_vol);
  disk::set_rec_u32(*part, pl::kUnitInfoIndex, uint32_t(s.unit_infos.size() - 1));
  disk::set_rec_u64(*part, pl::kOrigBytes, 0);
  disk::set_rec_u64(*part, pl::kStoredBytes, 0);
  return Status::ok();
}

Status ImageWriter::write_unit(std::span<const uint8_t> framed_unit) {
  State& s = *state_;
  Status st = s.usable();
  if (!st) return st;
  if (!s.segment_open) return Status::invalid_argument("image writer: no segment open");
  if (framed_unit.size() <= kFramingBytes || framed_unit.size() > kMaxFramedUnitBytes) {
    return Status::invalid_argument("image writer: bad unit length " + std::to_string(framed_unit.size()));
  }
  // After a run table or at the start of a segment the previous check did not cover this unit.
  if (!(st = s.check_limit(framed_unit.size() + img::kLocationEntrySize))) return st;
  if (s.fill + framed_unit.size() > s.buffer.size() && !(st = s.flush_buffer())) return st;
  s.add_unit(s.pos + s.fill, framed_unit.size());
  std::copy(framed_unit.begin(), framed_unit.end(), s.buffer.begin() + s.fill);
  s.fill += framed_unit.size();
  BACKUP_PARTITION_INFO& part = *s.segment_part;
  disk::set_rec_u64(part, pl::kOrigBytes, disk::rec_u64(part, pl::kOrigBytes) + img::kUnitBytes);
  disk::set_rec_u64(part, pl::kStoredBytes, disk::rec_u64(part, pl::kStoredBytes) + framed_unit.size());
  return s.check_limit(kNextUnitAmount);
}

Status ImageWriter::write_run_table(BACKUP_PARTITION_INFO* part, std::span<const FLAT_RUN> runs) {
  State& s = *state_;
  Status st = s.usable();
  if (!st) return st;
  if (part == nullptr) return Status::invalid_argument("image writer: no partition");
  if (runs.size() > UINT32_MAX / img::kFlatRunSize) return Status::invalid_argument("image writer: run table too long");
  if (!(st = s.flush_buffer())) return st;
  disk::set_rec_u32(*part, pl::kRunVol, s.cur_vol);
  disk::set_rec_u64(*part, pl::kRunOffset, s.pos);
  disk::set_rec_u32(*part, pl::kRunBytes, 0);
  uint32_t run_bytes = 0;
  std::vector<uint8_t> chunk;
  for (size_t first = 0; first < runs.size(); first += kRunsPerChunk) {
    const size_t n = std::min<size_t>(kRunsPerChunk, runs.size() - first);
    chunk.assign(n * img::kFlatRunSize, 0);
    for (size_t i = 0; i < n; ++i) {
      put_le32(&chunk[i * img::kFlatRunSize], runs[first + i].Begin);
      put_le32(&chunk[i * img::kFlatRunSize + 4], runs[first + i].Number);
    }
    if (!(st = s.check_limit(chunk.size()))) return st;
    if (first == 0) {  // the table starts where its first chunk lands
      disk::set_rec_u32(*part, pl::kRunVol, s.cur_vol);
      disk::set_rec_u64(*part, pl::kRunOffset, s.pos);
    }
    if (!(st = s.write_at(s.pos, chunk.data(), chunk.size()))) return st;
    s.pos += chunk.size();
    run_bytes += uint32_t(chunk.size());
    disk::set_rec_u32(*part, pl::kRunBytes, run_bytes);
  }
  return Status::ok();
}

Status ImageWriter::close_segment(BACKUP_PARTITION_INFO* part) {
  State& s = *state_;
  Status st = s.usable();
  if (!st) return st;
  if (!s.segment_open || part != s.segment_part) {
    return Status::invalid_argument("image writer: the partition has no open segment");
  }
  if (!(st = s.end_record())) return st;
  disk::set_rec_u32(*part, pl::kEndVol, s.cur_vol);
  s.segment_part = nullptr;
  return Status::ok();
}

Status ImageWriter::finish() {
  State& s = *state_;
  Status st = s.usable();
  if (!st) return st;
  if (s.segment_open) return Status::invalid_argument("image writer: a segment is still open");
  s.tailer.complete = 1;
  s.tailer.total_vol = s.cur_vol - s.first_vol + 1;
  if (!(st = s.close_volume())) return st;
  if (!(st = s.finish_first_volume())) return st;
  if (!(st = s.sync_directory())) return st;
  s.created.clear();
  s.begun = false;
  return Status::ok();
}

void ImageWriter::abort() {
  State& s = *state_;
  if (s.fd >= 0) {
    ::close(s.fd);
    s.fd = -1;
  }
  for (const auto& name : s.created) ::unlink(name.c_str());
  s.created.clear();
  s.segment_open = false;
  s.segment_part = nullptr;
  s.begun = false;
}

const img::EGO_IMAGE_HEADER& ImageWriter::header() const { return state_->header; }
uint32_t ImageWriter::first_vol() const { return state_->first_vol; }
uint32_t ImageWriter::current_vol() const { return state_->cur_vol; }
bool ImageWriter::begun() const { return state_->begun; }

}  // namespace tav::engine
