// The command line of `tav backup`: its options and operands, and the sizes --volume-size takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace tav::cli
