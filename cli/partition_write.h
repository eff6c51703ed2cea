// What `tav restore` and `tav clone` share once they know the source and the destination: the
// engine's checks of the destination, the description of what will be overwritten, the yes/no
// question, the run with progress and Ctrl-C, and the closing lines and exit status.
#pragma once

#include <ostream>
#include <string>

#include "cli/image_session.h"
#include "engine/restore.h"

namespace tav::cli {

struct PartitionWriteText {
  const char* command;  // "restore" or "clone", for the messages
  std::string source;   // what is copied, e.g. "snapshot 2, partition 1 (FAT32, 36.0 MiB)"
};

// Runs `request` (its source and destination set) on the session's record: refuses a destination
// the engine's checks refuse (exit 1, nothing written); prints what will be overwritten on `out`
// and asks yes/no unless the session answers yes by itself (declined or nobody to ask: exit 1,
// nothing written); then runs and waits. Exit 0 when the destination holds the copy, 1 when the
// run failed (or damaged data was let go with Ignore), 130 when cancelled.
int confirm_and_run_partition_write(const PartitionWriteText& text, RESTORE_REQUEST* request, ImageSession* session,
                                    std::ostream& out, std::ostream& err);

}  // namespace tav::cli
