// `tav list DIR [--name BASE] [--json]`: the snapshots of a storage in order, each with its disks
// and partitions, numbered as `tav export --snapshot N --partition K` takes them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "image/image_storage.h"

namespace tav::cli {

// Runs the command with the arguments after "list". Exit status 0 when the storage holds at least
// one snapshot, 1 when the directory is missing or holds none (a message says which), 2 on wrong
// use.
int run_list_command(const GlobalOptions& options, const std::vector<std::string>& args,
                     std::ostream& out, std::ostream& err);

// The text and JSON forms of a loaded storage. Snapshots are numbered from 1 in the storage's
// order (oldest first); partitions as numbered_partitions() numbers them.
std::string storage_text(const STORAGE_DATA& storage);
std::string storage_json(const STORAGE_DATA& storage);

}  // namespace tav::cli
