// The scheduler data of a process: the task list loaded from "scheduler.xml" in the program
// directory, its saving, and the calls the scheduling service makes (which task is due, record
// a run, turn a task into backup settings, select its partitions). Application services
// (TavPub2).
//
// The file is shared by every process of the suite and guarded by the named mutex
// "BLOOM_Schedule_Data_Mutex" (no time limit). Changes made by the task operations are applied
// to the file's current contents under the mutex (reload, change, save), so two processes
// changing tasks at once lose nothing. Saves are atomic (the file is the old or the new one).
// A load that found damage (a task dropped, the file breaking off) leaves the file alone: every
// later save is refused until the file loads clean again, and problems() says what was wrong.
//
// Results: exported functions return 1 (success) or 0 with the reason in the thread's last
// error. Safe from any thread of the process.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/named_mutex.h"
#include "services/scheduler_records.h"

// Initializes the scheduler of this process (opens the mutex, loads the file). 1 also when the
// load fails (the list is then empty).
int TavScheduleInitFromServ();
// Reloads the list from the file.
int TavLoadSchedulerFromServ();
// Saves when the list changed since the last save; 1 when there is nothing to do.
int TavSaveSchedulerIfDirty();
// Copies the first due task (list order, Manually tasks skipped) to *task; 1 if one is due.
int TavIsTaskTimeOut(SCHEDULER_TASK* task);
// Copies the task with `id` to *task. Unknown id: *reason 1, last error 0xE000001F, result 0.
int TavRunTaskFromServ(SCHEDULER_TASK* task, long id, long* reason);
// Records the end of a run: LastTime = now when neither flag is set, else CancelTime = now.
// 0 (0xE000001F) for an unknown id.
int TavUpdateTaskLastTime(long id, int cancelled, int failed);
// Copies the backup settings of a task; Cleared becomes 0; the disk pointer is left alone.
int TavTaskToBackupSetting(const SCHEDULER_TASK* task, _BACKUP_SETTING_* setting);
// Marks the task's partitions as selected in `disks`. A disk is found by its DiskId when the
// task has one (else by device name) and must have the stored length; a partition must be a
// backup candidate with the stored first sector and sector count. 0 (ENODEV) when one is
// missing; marks made before stay.
int TavSelectDisksParts(_DISK_INFOMATION* disks, const SCHEDULER_TASK* task);

namespace tav::services {

inline constexpr char kSchedulerMutexName[] = "BLOOM_Schedule_Data_Mutex";
// Ids of new tasks start here.
inline constexpr int32_t kFirstTaskId = 124;

// One more than the largest id, and at least kFirstTaskId.
int32_t next_task_id(const std::vector<SCHEDULER_TASK>& tasks);

class CScheduler {
 public:
  // Opens the mutex and loads the file; does nothing when already initialized. 0 when the mutex
  // cannot be opened.
  int Initialize();
  void Uninitialize();
  bool IsInitialized() const;

  // Reloads the list under the mutex. 0 when the file is damaged (what loaded is kept) or cannot
  // be read; a missing file is an empty list and 1.
  int Load();
  // Writes the whole list under the mutex. Refused (EBADMSG) after a damaged load.
  int Save();
  int SaveIfDirty();

  // Applies `change` to the file's current tasks under the mutex and saves them: reload, change,
  // save. `change` returns false to leave everything as it was. 0 when the load found damage
  // (EBADMSG), `change` declined (its last error stays) or the save failed.
  int Modify(const std::function<bool(std::vector<SCHEDULER_TASK>&)>& change);

  // Runs `fn` on the list under the mutex (no save). For the service's calls.
  template <typename Fn>
  auto WithTasks(Fn fn) {
    std::lock_guard lock(mu_);
    FileLock file(this);
    return fn(tasks_, dirty_);
  }

  std::vector<SCHEDULER_TASK> Tasks() const;
  std::vector<std::string> Problems() const;

 private:
  class FileLock {
   public:
    explicit FileLock(CScheduler* s) : s_(s) { locked_ = s_->file_mutex_ && s_->file_mutex_->lock(); }
    ~FileLock() {
      if (locked_) s_->file_mutex_->unlock();
    }
    bool locked() const { return locked_; }

   private:
    CScheduler* s_;
    bool locked_ = false;
  };
  // With mu_ and the file lock held.
  int load_locked();
  int save_locked();

  mutable std::recursive_mutex mu_;  // guards everything below; taken before the file mutex
  std::unique_ptr<NamedMutex> file_mutex_;
  std::vector<SCHEDULER_TASK> tasks_;
  std::vector<std::string> problems_;
  bool damaged_ = false;
  bool dirty_ = false;
};

// The scheduler of this process.
CScheduler& scheduler();

}  // namespace tav::services
