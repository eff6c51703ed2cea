// One backup run from start to end on the calling thread: settings and sizing, the request's
// checks, parent matching, the image writer, every partition's sequence (frozen view, plan,
// worker threads, run table) and the end of the run, or the failure path that deletes every
// volume file of the run.
#pragma once

#include <cstdint>

#include "engine/backup.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

// Runs the backup of `request` over `disks` with `channel` as its progress channel (not null) and
// returns its result: request->first_vol on success, -1 on failure or cancel. The caller ends
// the channel's operation with it (tav::end_operation), once it is ready for the next run. The channel's cancel is not cleared here (the entry points do
// that before the run starts, so a cancel that arrives early is kept).
int64_t run_backup(BACKUP_REQUEST* request, _DISK_INFOMATION* disks, THREAD_GUI_DATA* channel);

}  // namespace tav::engine
