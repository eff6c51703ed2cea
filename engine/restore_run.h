// One partition restore or clone from start to end on the calling thread: preparation and the
// destination's checks, the steps around the copy (size, step total, boot code and active flag,
// table reload, the destination disk's flush) and the end texts.
#pragma once

#include <cstdint>

#include "engine/restore.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

// Runs `request` with `channel` (not null) as its progress channel and returns its result: 0 on
// success or cancel, -1 on failure. The caller ends the channel's operation with it.
int64_t run_restore(RESTORE_REQUEST* request, THREAD_GUI_DATA* channel);

// The step total of one partition copy: in sector mode the source's used_sectors less its
// excluded_sectors (paging and hibernation files are not restored), and then the whole run's
// total and remaining are lowered by those excluded sectors; otherwise, or when excluded_sectors
// exceeds used_sectors, used_sectors and nothing lowered.
struct StepTotal {
  int64_t sub_total = 0;
  uint64_t lowered = 0;
};
StepTotal restore_step_total(const BACKUP_PARTITION_INFO& source, bool sector_mode);

}  // namespace tav::engine
