// What the commands that read a storage (`tav export`, `tav mount`, `tav restore`, `tav validate`)
// share: the arguments DIR, --name BASE, --snapshot N and --partition K, the storage loaded from
// them, and the snapshot and partition picked by their numbers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/image_session.h"
#include "core/status.h"

namespace tav::cli {

struct StorageArgs {
  std::string directory;  // set by the command from its operands
  std::string base_name = kDefaultBaseName;
  std::string snapshot;   // as given; empty when not given
  std::string partition;  // as given; empty when not given
  bool help = false;      // --help or -h came (parsing stopped there)
  // The two as numbers, once the command's parser read them; 0 for a snapshot not given.
  uint32_t snapshot_number = 0;
  uint32_t partition_number = 0;
};

struct StorageArgRules {
  bool takes_partition = true;  // --partition K is an option of the command
  // Nonzero: --snapshot and --partition are checked as they are read, numbers from 1 to this;
  // 0: the command checks them.
  uint32_t number_max = 0;
  bool plain_base_name = false;  // --name refuses a path
};

// A command's own option: kTaken when it was one (its value, if it has one, read with `value`,
// which is false with the error set when the value is missing), kFailed when it was one but
// wrong (*error set), kNotOurs otherwise.
enum class OwnOption { kTaken, kFailed, kNotOurs };
using ValueReader = std::function<bool(std::string* into)>;
using OwnOptions = std::function<OwnOption(const std::string& option, const ValueReader& value, std::string* error)>;

// Reads --help/-h, --name, --snapshot, --partition (as `rules` allow) and the options `own` takes
// (may be empty); the other arguments not starting with '-' go to *operands in order. False with
// *error on wrong use: an option without a value, an unknown option, a refused value.
bool parse_storage_args(const std::vector<std::string>& args, const StorageArgRules& rules, const OwnOptions& own,
                        StorageArgs* out, std::vector<std::string>* operands, std::string* error);

// The operands of a command that works on one partition of a snapshot: the storage directory
// and one more, `second_name` in the message when they are not two; --snapshot and --partition
// are then required and read as numbers (read_storage_numbers). Sets storage->directory and
// *second; false with *error on wrong use.
bool take_partition_operands(const std::vector<std::string>& operands, const char* second_name, StorageArgs* storage,
                             std::string* second, std::string* error);

// Reads --snapshot and, `with_partition`, --partition as numbers from 1 (to 0xFFFFFFFF) into
// a->snapshot_number and a->partition_number. Without the partition a snapshot not given stays
// 0 (the newest). False with *error when a number is not one.
bool read_storage_numbers(StorageArgs* a, bool with_partition, std::string* error);

// Loads the storage `a` names into `session` and picks snapshot *number (0: the newest; *number
// is then set to it). not_found when the storage does not load or has no such snapshot.
Status load_snapshot(ImageSession* session, const StorageArgs& a, uint32_t* number, SNAP_DATA** snap);

// A partition a command can work on: one with its read operations.
bool has_operations(const BACKUP_PARTITION_INFO* part);

// Partition `number` of snapshot `snap_number` (`snap`), as numbered_partitions() numbers them;
// not_found, naming the highest number there is, when it does not exist or is not `usable`.
Status find_partition(const SNAP_DATA& snap, uint32_t snap_number, uint32_t number, NumberedPartition* out,
                      bool (*usable)(const BACKUP_PARTITION_INFO*) = has_operations);

}  // namespace tav::cli
