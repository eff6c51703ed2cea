// The command line's link to the image library for the commands that read a storage (`tav list`,
// `tav export`): the progress record, message buffer and error flag the library reports through,
// a terminal face that prints those reports and asks the reader's questions, and the process's
// storage loaded from a directory and base name.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/terminal_sink.h"
#include "image/image_storage.h"
#include "core/status.h"

namespace tav::cli {

// Base name of the volume files when none is given.
constexpr char kDefaultBaseName[] = "imbackup";

struct ImageSessionOptions {
  AnswerMode answer_mode = AnswerMode::kAsk;
  bool can_ask = true;  // false: questions get the safe answer without a terminal being opened
  int output_fd = 1;    // progress and information boxes; errors always go to stderr
};

// One per command run, on the main thread; at most one alive at a time (the record, buffer and
// flag it hands to the image library are the process's own). While it lives the image library's
// reports are printed on stderr by the face, and the questions of the sector reader (asked from
// the thread that reads) are answered by the face as the answer mode says.
class ImageSession {
 public:
  explicit ImageSession(const ImageSessionOptions& options);
  // Unloads the storage, then removes the face from the record and stops it.
  ~ImageSession();
  ImageSession(const ImageSession&) = delete;
  ImageSession& operator=(const ImageSession&) = delete;

  // Loads every snapshot of `base_name` in `directory` (with or without a trailing "/") into the
  // process's storage. not_found when the directory does not exist or holds no snapshot of the
  // base name (the catalogue's own report, if any, has been printed then).
  Status load(const std::string& directory, const std::string& base_name);

  STORAGE_DATA* storage() const { return storage_; }
  THREAD_GUI_DATA* record() const;
  TerminalSink* sink() const { return sink_.get(); }

  // Lets the next report of the image library be shown again (only the first of an operation is).
  void reset_reports();
  // Abort/Retry/Ignore questions answered with anything but Retry or Abort since construction.
  uint32_t ignored_answers() const;

 private:
  class Face;
  std::unique_ptr<TerminalSink> sink_;
  std::unique_ptr<Face> face_;
  STORAGE_DATA* storage_ = nullptr;
  bool loaded_ = false;
};

// A partition of a snapshot as the commands number them: K from 1 across the snapshot's disks in
// disk order and table order; the extended container of logical partitions holds no data of its
// own and gets number 0 (it cannot be exported).
struct NumberedPartition {
  uint32_t number = 0;
  uint32_t disk_index = 0;
  _DISK_INFOMATION* disk = nullptr;
  BACKUP_PARTITION_INFO* part = nullptr;
};
std::vector<NumberedPartition> numbered_partitions(const SNAP_DATA& snap);

// "full", "incremental", "differential" or "unknown".
const char* backup_kind_name(uint32_t backup_type);

// "YYYY-MM-DD HH:MM:SS" of a stored local time.
std::string systime_text(const SYSTIME& time);

// Parses a decimal number from 1 to `max` (no sign, no blanks); false otherwise.
bool parse_index(const std::string& text, uint32_t max, uint32_t* value);

}  // namespace tav::cli
