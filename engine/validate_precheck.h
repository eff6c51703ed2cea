// Checks of stored compress units ahead of the snapshot sector reader, on worker threads: the
// validation maps each piece it is about to read to the units that hold it (from what the
// reader has loaded already), and the workers read those units' bytes from their own
// descriptors, check the framing and CRCs and inflate them, each with its own codec. A piece
// whose units are all sound, in volume files still the ones the reader opened, needs no read
// through the reader; any other piece (a unit that failed, a volume replaced since, or a part of
// the way the reader has not loaded yet) is read through the reader, which reports what it finds
// exactly as a validation without these checks would. A piece the reader returned is checked
// once more on the calling thread (check_now): the reader lets a damaged unit go on as zeros
// when the user answers Ignore, and the snapshot then does not validate.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "format/ego_format.h"
#include "core/file_utils.h"
#include "disk/disk.h"

struct STORAGE_DATA;
struct IMAGE_PART_DATA;

namespace tav::engine {

// One stored unit to check.
struct UnitJob {
  enum class State { kPending, kSound, kDamaged };
  int fd = -1;               // the precheck's own descriptor of the volume
  uint64_t offset = 0;       // first byte of the stored unit
  uint32_t length = 0;       // stored length
  uint64_t file_size = 0;    // of the volume when the reader opened it
  img::FormatVersion version;
  uint64_t unit = 0;         // number within its partition's stored data
  std::string file_name;     // the volume, for messages
  State state = State::kPending;  // guarded by the precheck's mutex
};

// The units behind one piece.
struct PieceCheck {
  std::vector<std::shared_ptr<UnitJob>> units;
};

class UnitPrecheck {
 public:
  // Starts up to `workers` threads (fewer when the system refuses more); with none running,
  // only check_now may be used.
  explicit UnitPrecheck(unsigned workers);
  // Stops the workers; checks not started are dropped.
  ~UnitPrecheck();
  UnitPrecheck(const UnitPrecheck&) = delete;
  UnitPrecheck& operator=(const UnitPrecheck&) = delete;

  // Worker threads running.
  unsigned workers() const { return unsigned(threads_.size()); }

  // Maps sectors [sector, sector + count) of the image partition `part` (the one its storage has
  // open) to the stored units that hold them, using only what the reader has loaded, and queues
  // the checks of units not queued before. Null when some part of the way is not loaded yet or
  // looks wrong: the caller then reads the piece through the reader. Call it on the thread that
  // uses the reader, between reads.
  std::shared_ptr<PieceCheck> submit(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count);
  // Waits until every unit of `piece` is checked: true when all are sound and their volume
  // files are still the ones the reader opened (same file under the name, same size).
  bool wait(const PieceCheck& piece);
  // After the reader returned sectors [sector, sector + count) of `part`: maps them again (the
  // reader has loaded their way now) and checks their units on the calling thread. The first
  // damaged unit, or null when all are sound or the piece cannot be mapped.
  std::shared_ptr<const UnitJob> check_now(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count);

 private:
  struct Scratch;
  void worker_loop();
  // Maps the piece as submit describes; `queue` false builds fresh jobs that are neither
  // remembered nor queued.
  std::shared_ptr<PieceCheck> map_piece(BACKUP_PARTITION_INFO* part, uint64_t sector, uint32_t count, bool queue);
  bool map_member_range(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t begin, uint64_t end,
                        bool queue, PieceCheck* piece);
  bool add_unit(STORAGE_DATA* storage, BACKUP_PARTITION_INFO* member, uint64_t unit, bool queue, PieceCheck* piece);
  int volume_fd(const STORAGE_DATA* storage, uint32_t vol, uint64_t* file_size, uint64_t* data_end,
                std::string* name);
  static bool check_unit(const UnitJob& job, Scratch* scratch);

  std::mutex mutex_;
  std::condition_variable work_;  // a job was queued, or stop
  std::condition_variable done_;  // a job was checked
  std::deque<std::shared_ptr<UnitJob>> queue_;
  bool stop_ = false;
  std::vector<std::thread> threads_;

  // Touched only by the submitting thread.
  std::map<std::pair<const void*, uint64_t>, std::shared_ptr<UnitJob>> recent_;
  std::map<uint32_t, UniqueFd> fds_;  // by volume number
  std::vector<UniqueFd> retired_fds_;  // of volumes the reader opened again; jobs may still use them
  std::unique_ptr<Scratch> own_scratch_;  // for recheck
};

}  // namespace tav::engine
