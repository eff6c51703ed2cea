// Unit checks ahead of the reader: mapping pieces to stored units and the worker threads.
#include "engine/validate_precheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "format/compress_unit.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "core/extent_run.h"

namespace tav::engine {

namespace {

// Units remembered for pieces that share them (a unit usually serves several pieces).
constexpr size_t kRecentUnits = 1024;

bool read_all_at(int fd, uint64_t offset, uint8_t* buffer, size_t length) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, buffer, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    offset += uint64_t(n);
    length -= size_t(n);
  }
  return true;
}

// True when `fd` is the file named `name`, still `size` bytes long: what the reader requires
// before it reads a volume it opened earlier (else it opens the volume again).
bool same_file_as_named(int fd, const std::string& name, uint64_t size) {
  struct stat by_fd {};
  struct stat by_name {};
  if (::fstat(fd, &by_fd) != 0 || ::stat(name.c_str(), &by_name) != 0) return false;
  return by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino && uint64_t(by_fd.st_size) == size;
}

// True when both descriptors refer to one file.
bool same_open_file(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

struct UnitPrecheck::Scratch {
  img::UnitCodec codec;
  std::vector<uint8_t> stored = std::vector<uint8_t>(img::kMaxStoredUnitBytes);
  std::vector<uint8_t> out = std::vector<uint8_t>(img::kUnitBytes);
};

UnitPrecheck::UnitPrecheck(unsigned workers) {
  own_scratch_ = std::make_unique<Scratch>();
  for (unsigned i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; workers() tells how many run
    }
  }
}

UnitPrecheck::~UnitPrecheck() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    queue_.clear();
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool UnitPrecheck::check_unit(const UnitJob& job, Scratch* scratch) {
  if (job.length > scratch->stored.size() || job.offset + job.length > job.file_size) return false;
  if (!read_all_at(job.fd, job.offset, scratch->stored.data(), job.length)) return false;
  return scratch->codec.inflate(std::span<const uint8_t>(scratch->stored.data(), job.length), job.version,
                                std::span<uint8_t>(scratch->out))
      .is_ok();
}

void UnitPrecheck::worker_loop() {
  std::unique_ptr<Scratch> scratch;
  try {
    scratch = std::make_unique<Scratch>();
  } catch (...) {
    // Without memory this worker checks nothing; its jobs count as damaged and go to the reader.
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    std::shared_ptr<UnitJob> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    const bool sound = scratch != nullptr && check_unit(*job, scratch.get());
    lock.lock();
    job->state = sound ? UnitJob::State::kSound : UnitJob::State::kDamaged;
    done_.notify_all();
  }
}

int UnitPrecheck::volume_fd(const STORAGE_DATA* storage, uint32_t vol, uint64_t* file_size, uint64_t* data_end,
                            std::string* name) {
  const IMAGE_FILE_DATA* file = nullptr;
  for (const IMAGE_FILE_DATA& f : storage->files) {
    if (f.vol == int32_t(vol) && f.fd >= 0) file = &f;
  }
  if (file == nullptr) return -1;  // not opened by the reader yet
  *file_size = file->file_size;
  *data_end = file->location_offset;
  *name = file->name;
  auto it = fds_.find(vol);
  if (it != fds_.end() && !same_open_file(it->second.get(), file->fd)) {
    // The reader opened the volume again (the file under its name was replaced): what was
    // checked in the old file says nothing about the new one. Queued jobs keep the old
    // descriptor, which stays open until the end.
    retired_fds_.push_back(std::move(it->second));
    fds_.erase(it);
    it = fds_.end();
    recent_.clear();
  }
  if (it == fds_.end()) {
    UniqueFd fd(::fcntl(file->fd, F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) return -1;
    it = fds_.emplace(vol, std::move(fd)).first;
  }
  return it->second.get();
}

bool UnitPrecheck::add_unit(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t unit, bool queue,
                           PieceCheck* piece) {
  const auto key = std::make_pair(static_cast<const void*>(member), unit);
  if (auto it = recent_.find(key); queue && it != recent_.end()) {
    if (piece->units.empty() || piece->units.back() != it->second) piece->units.push_back(it->second);
    return true;
  }
  const IMAGE_PART_DATA* pd = img::image_part_data(member);
  const UNIT_LOCATION* loc = nullptr;
  for (const UNIT_LOCATION& l : pd->locations) {
    if (unit >= l.first_unit && unit - l.first_unit < l.entries.size()) loc = &l;
  }
  if (loc == nullptr) return false;  // its segment is not read yet
  const size_t k = size_t(unit - loc->first_unit);
  const uint64_t begin = loc->entries[k];
  const uint64_t end = k + 1 < loc->entries.size() ? loc->entries[k + 1] : loc->seg_end;
  auto job = std::make_shared<UnitJob>();
  uint64_t data_end = 0;
  job->fd = volume_fd(storage, loc->vol, &job->file_size, &data_end, &job->file_name);
  if (job->fd < 0) return false;
  job->version = pd->psnap->version();
  const uint64_t length = end > begin ? end - begin : 0;
  if (length <= job->version.unit_framing_bytes() || length > img::kMaxStoredUnitBytes || end > data_end) return false;
  job->offset = begin;
  job->length = uint32_t(length);
  job->unit = unit;
  piece->units.push_back(job);
  if (!queue) return true;
  if (recent_.size() >= kRecentUnits) recent_.clear();
  recent_.emplace(key, job);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(job));
  }
  work_.notify_one();
  return true;
}

// Sectors [begin, end) of chain member `member`: through its run table to positions in its
// stored data, which must continue without a gap, and on to the units.
bool UnitPrecheck::map_member_range(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t begin,
                                    uint64_t end, bool queue, PieceCheck* piece) {
  const IMAGE_PART_DATA* pd = img::image_part_data(member);
  if (pd == nullptr || !pd->runs_loaded || pd->psnap == nullptr) return false;
  const std::vector<FLAT_RUN>& runs = pd->run_buff;
  auto after = std::upper_bound(runs.begin(), runs.end(), begin,
                                [](uint64_t s, const FLAT_RUN& r) { return s < uint64_t(r.Begin); });
  if (after == runs.begin()) return false;
  size_t j = size_t(after - runs.begin()) - 1;
  if (begin >= flat_run_end(runs[j]) || pd->run_begin_in_image.size() != runs.size()) return false;
  const uint64_t first = pd->run_begin_in_image[j] + (begin - runs[j].Begin);
  uint64_t covered = flat_run_end(runs[j]);
  while (covered < end) {
    if (++j >= runs.size() || runs[j].Begin != covered) return false;
    covered = flat_run_end(runs[j]);
  }
  const uint64_t last = first + (end - begin) - 1;
  for (uint64_t unit = first / img::kSectorsPerUnit; unit <= last / img::kSectorsPerUnit; ++unit) {
    if (!add_unit(storage, member, unit, queue, piece)) return false;
  }
  return true;
}

std::shared_ptr<PieceCheck> UnitPrecheck::submit(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count) {
  return map_piece(part, sector, count, true);
}

std::shared_ptr<PieceCheck> UnitPrecheck::map_piece(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count,
                                                    bool queue) {
  const IMAGE_PART_DATA* pd = img::image_part_data(part);
  if (pd == nullptr || pd->psnap == nullptr || pd->psnap->pstorage == nullptr) return nullptr;
  STORAGE_DATA* storage = pd->psnap->pstorage;
  const IMAGE_RUN_VECTOR* v = libtavimg_get_part_run_vector(part);
  if (v == nullptr || (v->run_count != 0 && v->runs == nullptr)) return nullptr;
  auto piece = std::make_shared<PieceCheck>();
  const uint64_t end = sector + count;
  // The first run that ends after `sector`; sectors outside every run read as zeros.
  uint32_t index = 0;
  {
    uint32_t lo = 0;
    uint32_t hi = v->run_count;
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2;
      if (run_end(*v->runs[mid]) <= sector) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    index = lo;
  }
  for (uint64_t s = sector; s < end && index < v->run_count; ++index) {
    const IMAGE_RUN& run = *v->runs[index];
    if (run.type == RUN_TYPE_MINUS) return nullptr;
    s = std::max<uint64_t>(s, run.value.Begin);
    if (s >= end) break;
    const uint64_t take_end = std::min(end, run_end(run));
    if (s >= take_end) continue;
    if (run.snapshot >= pd->snap_part_vector.size()) return nullptr;
    if (!map_member_range(storage, pd->snap_part_vector[run.snapshot], s, take_end, queue, piece.get())) {
      return nullptr;
    }
    s = take_end;
  }
  return piece;
}

bool UnitPrecheck::wait(const PieceCheck& piece) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (const std::shared_ptr<UnitJob>& job : piece.units) {
      done_.wait(lock, [&] { return job->state != UnitJob::State::kPending; });
      if (job->state != UnitJob::State::kSound) return false;
    }
  }
  int checked_fd = -1;
  for (const std::shared_ptr<UnitJob>& job : piece.units) {
    if (job->fd == checked_fd) continue;
    if (!same_file_as_named(job->fd, job->file_name, job->file_size)) return false;
    checked_fd = job->fd;
  }
  return true;
}

std::shared_ptr<const UnitJob> UnitPrecheck::check_now(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count) {
  const std::shared_ptr<PieceCheck> piece = map_piece(part, sector, count, false);
  if (piece == nullptr) return nullptr;
  for (const std::shared_ptr<UnitJob>& job : piece->units) {
    if (!check_unit(*job, own_scratch_.get())) return job;
  }
  return nullptr;
}

}  // namespace tav::engine
