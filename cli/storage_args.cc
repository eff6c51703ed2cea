// The storage arguments of the commands and the storage, snapshot and partition they name.
#include "cli/storage_args.h"

#include <algorithm>

namespace tav::cli {

bool parse_storage_args(const std::vector<std::string>& args, const StorageArgRules& rules, const OwnOptions& own,
                        StorageArgs* out, std::vector<std::string>* operands, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const ValueReader value = [&](std::string* into) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    auto number = [&](std::string* into) {
      if (!value(into)) return false;
      uint32_t n = 0;
      if (rules.number_max != 0 && !parse_index(*into, rules.number_max, &n)) {
        *error = a + " takes a number from 1, not '" + *into + "'";
        return false;
      }
      return true;
    };
    if (a == "--help" || a == "-h") {
      out->help = true;
      return true;
    } else if (a == "--name") {
      if (!value(&out->base_name)) return false;
      if (rules.plain_base_name && out->base_name.find('/') != std::string::npos) {
        *error = "--name takes a base name, not a path";
        return false;
      }
    } else if (a == "--snapshot") {
      if (!number(&out->snapshot)) return false;
    } else if (a == "--partition" && rules.takes_partition) {
      if (!number(&out->partition)) return false;
    } else if (const OwnOption taken = own ? own(a, value, error) : OwnOption::kNotOurs;
               taken != OwnOption::kNotOurs) {
      if (taken == OwnOption::kFailed) return false;
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option '" + a + "'";
      return false;
    } else {
      operands->push_back(a);
    }
  }
  return true;
}

bool take_partition_operands(const std::vector<std::string>& operands, const char* second_name, StorageArgs* storage,
                             std::string* second, std::string* error) {
  if (operands.size() != 2) {
    *error = std::string("give the storage directory and the ") + second_name;
    return false;
  }
  if (storage->snapshot.empty() || storage->partition.empty()) {
    *error = "--snapshot and --partition are required";
    return false;
  }
  storage->directory = operands[0];
  *second = operands[1];
  return read_storage_numbers(storage, true, error);
}

bool read_storage_numbers(StorageArgs* a, bool with_partition, std::string* error) {
  if (!with_partition) {
    if (a->snapshot.empty() || parse_index(a->snapshot, 0xFFFFFFFFu, &a->snapshot_number)) return true;
    *error = "--snapshot takes a number from 1";
    return false;
  }
  if (parse_index(a->snapshot, 0xFFFFFFFFu, &a->snapshot_number) &&
      parse_index(a->partition, 0xFFFFFFFFu, &a->partition_number)) {
    return true;
  }
  *error = "--snapshot and --partition take numbers from 1";
  return false;
}

Status load_snapshot(ImageSession* session, const StorageArgs& a, uint32_t* number, SNAP_DATA** snap) {
  if (Status st = session->load(a.directory, a.base_name); !st.is_ok()) return st;
  const STORAGE_DATA* storage = session->storage();
  if (*number == 0) *number = uint32_t(storage->snaps.size());
  if (*number > storage->snaps.size()) {
    return Status::not_found("no snapshot " + std::to_string(*number) + " (the storage has " +
                             std::to_string(storage->snaps.size()) + ")");
  }
  *snap = storage->snaps[*number - 1].get();
  return Status::ok();
}

bool has_operations(const BACKUP_PARTITION_INFO* part) { return part->ops != nullptr; }

Status find_partition(const SNAP_DATA& snap, uint32_t snap_number, uint32_t number, NumberedPartition* out,
                      bool (*usable)(const BACKUP_PARTITION_INFO*)) {
  NumberedPartition found;
  uint32_t highest = 0;
  for (const NumberedPartition& np : numbered_partitions(snap)) {
    if (np.number == number) found = np;
    highest = std::max(highest, np.number);
  }
  if (found.part == nullptr || !usable(found.part)) {
    return Status::not_found("snapshot " + std::to_string(snap_number) + " has no partition " + std::to_string(number) +
                             " (it has " + std::to_string(highest) + ")");
  }
  *out = found;
  return Status::ok();
}

}  // namespace tav::cli
