// The task list of a process, its file, and the service's calls.
#include "services/scheduler.h"

#include <algorithm>
#include <cerrno>

#include "core/last_error.h"
#include "core/language.h"
#include "core/program_dir.h"
#include "core/trace.h"
#include "disk/disk.h"
#include "disk/disk_list.h"
#include "services/disk_identity.h"
#include "services/oplog.h"
#include "services/scheduler_due.h"
#include "services/scheduler_file.h"
#include "services/service_clock.h"

namespace tav::services {

int32_t next_task_id(const std::vector<SCHEDULER_TASK>& tasks) {
  int32_t largest = kFirstTaskId - 1;
  for (const SCHEDULER_TASK& t : tasks) largest = std::max(largest, t.id);
  return largest + 1;
}

CScheduler& scheduler() {
  static CScheduler s;
  return s;
}

int CScheduler::Initialize() {
  std::lock_guard lock(mu_);
  if (file_mutex_) return 1;
  auto mutex = std::make_unique<NamedMutex>();
  if (!mutex->open(kSchedulerMutexName)) {
    TAV_TRACE(kTraceError, kTraceLastError, "Create mutex failed");
    return 0;
  }
  file_mutex_ = std::move(mutex);
  Load();
  TAV_TRACE(kTraceInfo, 0, "Scheduler init");
  return 1;
}

void CScheduler::Uninitialize() {
  std::lock_guard lock(mu_);
  file_mutex_.reset();
  tasks_.clear();
  problems_.clear();
  damaged_ = dirty_ = false;
  TAV_TRACE(kTraceInfo, 0, "Scheduler uninit");
}

bool CScheduler::IsInitialized() const {
  std::lock_guard lock(mu_);
  return file_mutex_ != nullptr;
}

int CScheduler::load_locked() {
  tasks_.clear();
  problems_.clear();
  damaged_ = false;
  const std::string path = program_file(kSchedulerFileName);
  CTavXml doc;
  const int loaded = doc.Load(path.c_str());
  if (loaded == kXmlFileError) {
    if (TavIsFile(path.c_str()) == 0 && get_last_error() == ENOENT) return 1;  // no tasks yet
    problems_.push_back("the file cannot be read");
    damaged_ = true;
    return 0;
  }
  SchedulerRead read = read_scheduler_document(doc, loaded);
  problems_ = std::move(read.problems);
  // A new id for a duplicate is above every id of the file, so it cannot meet a later task's.
  int32_t fresh = next_task_id(read.tasks);
  for (SCHEDULER_TASK& t : read.tasks) {
    const bool taken = std::any_of(tasks_.begin(), tasks_.end(), [&](const SCHEDULER_TASK& o) { return o.id == t.id; });
    if (taken) {
      t.id = fresh++;
      dirty_ = true;
    }
    tasks_.push_back(std::move(t));
  }
  for (const std::string& p : problems_) TAV_TRACE(kTraceError, 0, "scheduler.xml: %s", p.c_str());
  damaged_ = !problems_.empty();
  return damaged_ ? 0 : 1;
}

int CScheduler::save_locked() {
  if (damaged_) {
    TAV_TRACE(kTraceError, 0, "scheduler.xml was damaged when loaded: not saved over");
    set_last_error(EBADMSG);
    return 0;
  }
  CTavXml doc;
  write_scheduler_document(tasks_, &doc);
  if (doc.Save(program_file(kSchedulerFileName).c_str()) != kXmlOk) {
    TAV_TRACE(kTraceError, kTraceLastError, "Save scheduler.xml failed");
    return 0;
  }
  dirty_ = false;
  return 1;
}

int CScheduler::Load() {
  std::lock_guard lock(mu_);
  FileLock file(this);
  return load_locked();
}

int CScheduler::Save() {
  std::lock_guard lock(mu_);
  FileLock file(this);
  return save_locked();
}

int CScheduler::SaveIfDirty() {
  std::lock_guard lock(mu_);
  if (!dirty_) return 1;
  FileLock file(this);
  return save_locked();
}

int CScheduler::Modify(const std::function<bool(std::vector<SCHEDULER_TASK>&)>& change) {
  std::lock_guard lock(mu_);
  FileLock file(this);
  if (!file.locked()) {
    set_last_error(EBADF);
    return 0;
  }
  load_locked();
  if (damaged_) {
    set_last_error(EBADMSG);
    return 0;
  }
  if (!change(tasks_)) return 0;
  dirty_ = true;
  return save_locked();
}

std::vector<SCHEDULER_TASK> CScheduler::Tasks() const {
  std::lock_guard lock(mu_);
  return tasks_;
}

std::vector<std::string> CScheduler::Problems() const {
  std::lock_guard lock(mu_);
  return problems_;
}

}  // namespace tav::services

using namespace tav;
using namespace tav::services;

int TavScheduleInitFromServ() { return scheduler().Initialize(); }

int TavLoadSchedulerFromServ() { return scheduler().Load(); }

int TavSaveSchedulerIfDirty() { return scheduler().SaveIfDirty(); }

int TavIsTaskTimeOut(SCHEDULER_TASK* task) {
  const int64_t now = service_now();
  return scheduler().WithTasks([&](std::vector<SCHEDULER_TASK>& tasks, bool&) {
    for (const SCHEDULER_TASK& t : tasks) {
      if (task_is_due(t, now)) {
        if (task != nullptr) *task = t;
        return 1;
      }
    }
    return 0;
  });
}

int TavRunTaskFromServ(SCHEDULER_TASK* task, long id, long* reason) {
  return scheduler().WithTasks([&](std::vector<SCHEDULER_TASK>& tasks, bool&) {
    for (const SCHEDULER_TASK& t : tasks) {
      if (t.id == id) {
        if (task != nullptr) *task = t;
        return 1;
      }
    }
    TavWriteLog(0, nullptr, "FindTask failed(%ld)!", id);
    if (reason != nullptr) *reason = 1;
    set_last_error(kErrTaskNotFound);
    return 0;
  });
}

int TavUpdateTaskLastTime(long id, int cancelled, int failed) {
  const int64_t now = service_now();
  return scheduler().WithTasks([&](std::vector<SCHEDULER_TASK>& tasks, bool& dirty) {
    for (SCHEDULER_TASK& t : tasks) {
      if (t.id != id) continue;
      (cancelled == 0 && failed == 0 ? t.LastTime : t.CancelTime) = now;
      dirty = true;
      return 1;
    }
    set_last_error(kErrTaskNotFound);
    return 0;
  });
}

int TavTaskToBackupSetting(const SCHEDULER_TASK* task, _BACKUP_SETTING_* setting) {
  if (task == nullptr || setting == nullptr) {
    set_last_error(EINVAL);
    return 0;
  }
  setting->Path = task->Path;
  setting->Basename = task->Basename;
  setting->bValidImage = task->bValidImage;
  setting->BackType = task->BackType;
  setting->CompressLevel = task->CompressLevel;
  setting->Comment = task->Comment;
  setting->OverWrite = task->OverWrite;
  setting->MaxFileSize = task->MaxFileSize;
  setting->FileSizeAuto = task->FileSizeAuto;
  setting->Cleared = 0;
  return 1;
}

int TavSelectDisksParts(_DISK_INFOMATION* disks, const SCHEDULER_TASK* task) {
  if (task == nullptr) {
    set_last_error(EINVAL);
    return 0;
  }
  for (const SCHEDULER_DISK& sd : task->disks) {
    _DISK_INFOMATION* found = nullptr;
    for (_DISK_INFOMATION* d = disks; d != nullptr && found == nullptr; d = d->next) {
      const bool same = !sd.DiskId.empty() ? stable_disk_id(*d) == sd.DiskId : d->path == sd.Device;
      if (same) found = d;
    }
    if (found == nullptr || int64_t(found->total_sectors) != sd.Length) {
      set_last_error(ENODEV);
      return 0;
    }
    for (const SCHEDULER_PART& sp : sd.parts) {
      BACKUP_PARTITION_INFO* match = nullptr;
      for (auto& p : found->parts) {
        if (tav_partition_is_backup(p.get()) && int64_t(p->sector_count) == sp.Start &&
            int64_t(p->first_sector) == sp.Length) {
          match = p.get();
          break;
        }
      }
      if (match == nullptr) {
        set_last_error(ENODEV);
        return 0;
      }
      match->selected = 1;
    }
  }
  return 1;
}
