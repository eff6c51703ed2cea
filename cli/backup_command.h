// `tav backup SOURCE DIR ...`: a new snapshot of the selected partitions of a block device or a
// disk image file, added to the storage in DIR (or starting one), run by the imaging engine on
// the progress channel's worker with progress and Ctrl-C on the terminal.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tav::cli {

// The command line of `tav backup` as given; defaults are decided later, from the storage and
// the destination (kind unset: full or incremental; volume size 0: none, or the FAT limit).
struct BackupArgs {
  std::string source;
  std::string directory;
  std::string base_name;              // kDefaultBaseName unless --name
  std::vector<uint32_t> partitions;   // --partition K, in the order given, no repeats
  uint32_t backup_type = 0;           // 0 unset, else tav::img::kBackupFull / Incremental / Differential
  uint32_t compress_mode = 1;         // tav::img::CompressMode: 0 none, 1 normal, 2 high
  uint64_t volume_size_bytes = 0;     // 0: not given
  std::string comment;                // UTF-8
  bool no_snapshot = false;
  bool help = false;                  // --help: nothing else is checked
};

// Parses the arguments after "backup". False with *error set on wrong use (unknown option, a
// missing or bad value, a wrong number of operands, a comment that is not UTF-8).
bool parse_backup_args(const std::vector<std::string>& args, BackupArgs* out, std::string* error);

// A size in bytes: decimal digits with an optional binary suffix K, M, G or T (either case,
// optionally followed by "iB" or "B"). False for anything else, zero, or more than 2^64 - 1.
bool parse_size_bytes(const std::string& text, uint64_t* bytes);

// Smallest volume size accepted by --volume-size (a disk with saved boot sectors needs more:
// they are stored twice in every volume).
constexpr uint64_t kMinVolumeSizeBytes = uint64_t{1} << 20;
// Largest file a FAT file system holds: the volume limit when DIR lies on one.
constexpr uint64_t kFatVolumeLimitBytes = (uint64_t{4} << 30) - 1;

// Exit status when the run was cancelled by SIGINT or SIGTERM (as a shell reports a Ctrl-C).
constexpr int kExitCancelled = 130;

// Runs the command: 0 with the snapshot's summary on `out`; 1 when the backup failed (a message
// on `err`; the run's volume files are gone); 2 on wrong use; 130 when cancelled.
int run_backup_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err);

}  // namespace tav::cli
