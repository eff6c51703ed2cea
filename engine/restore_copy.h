// The sector copies of a partition restore and clone: out of a snapshot through the read-ahead
// (every stored sector), and out of a live partition (its used sectors, as the backup computes
// them). Both zero the destination's first sectors before anything else, keep the source's first
// sectors aside while copying and write them last, so a copy cut short (cancel, failure, crash)
// leaves no file system that looks valid. A failed read or write asks the channel's
// Abort/Retry/Ignore question: Retry tries again, Ignore leaves the piece unwritten, Abort fails.
#pragma once

#include <cstdint>
#include <string>

#include "disk/fs_copy.h"

namespace tav::engine {

// Sectors a restore copies in one piece out of a snapshot (one compress unit, 128 KiB) and out
// of a live partition (10 MiB).
constexpr uint32_t kImagePieceSectors = 256;
constexpr uint32_t kLivePieceSectors = 20480;

// Buffers of the read-ahead for `free_mib` MiB of free memory: 400, 200 below 512 MiB, 100
// below 256 MiB.
int32_t read_ahead_buffer_count(uint64_t free_mib);

// Copies every stored sector of the snapshot partition context->source (closed; opened and
// closed here) to the same partition-relative sector of context->dest. The read-ahead runs in
// cache mode when `image_dir` lies on the destination's disk. Returns 0 (also after a cancel,
// which leaves the first sectors zero) or -1 with an error counted and reported.
int copy_part_by_sector_from_image(COPY_CONTEXT* context, const std::string& image_dir);

// Copies the used sectors of the live partition context->source (its frozen view when one
// stands in for it) to context->dest, and sets the step total (used_sectors, weighted by
// used_sectors / copied sectors when that is above 1). Returns 0 or -1 as above.
int copy_real_part_by_sector(COPY_CONTEXT* context);

}  // namespace tav::engine
