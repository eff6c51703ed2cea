// Pieces of the validation shared by its source files: the run's state and the check of one
// partition.
#pragma once

#include <cstdint>

#include "disk/disk.h"

struct THREAD_GUI_DATA;

namespace tav::engine {

// Sectors read at a time: one compress unit, so that every unit is inflated once.
inline constexpr uint32_t kValidatePieceSectors = 256;

// Reads every stored sector of the image partition `part` in pieces of at most
// kValidatePieceSectors sectors, counting each good piece on `channel`'s step (slot 2). Stops at
// the first failure (counted on `channel`; the reader reports the cause) or when `channel`'s cancel is
// set. `workers` threads check and inflate the stored units ahead of the reads (0: the reader
// alone). Every piece the reader returns has its units checked once more on this thread, so a
// damaged unit let go on as zeros (Ignore) fails the partition. 0, or -1 when `channel` counts an
// error.
int validate_copy(BACKUP_PARTITION_INFO* part, THREAD_GUI_DATA* channel, unsigned workers);

// Worker threads validate_copy uses by default: one per processor, at most 8.
unsigned default_validate_workers();

}  // namespace tav::engine

namespace tav::engine {

// Worker threads of the following runs: 0 restores the default, kValidateReaderOnly reads
// through the reader alone, checking what it returned on the same thread (both give the same
// results and messages; tests compare them).
inline constexpr unsigned kValidateReaderOnly = ~0u;
void set_validate_workers(unsigned workers);

}  // namespace tav::engine
