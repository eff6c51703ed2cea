// Operation-log records of the commands that change or read disks and storages.
#include "cli/operation_record.h"

#include "cli/command_line.h"
#include "services/oplog.h"

namespace tav::cli {

bool is_recorded_command(const std::string& command) {
  static const char* const kRecorded[] = {"backup", "restore", "clone", "validate", "mount", "umount"};
  for (const char* name : kRecorded) {
    if (command == name) return true;
  }
  return false;
}

void LastLineTee::note(char c) {
  if (c == '\n' || c == '\r') {
    if (!current_.empty()) last_ = current_;
    current_.clear();
  } else {
    current_ += c;
  }
}

int LastLineTee::overflow(int c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  note(char(c));
  target_.put(char(c));
  return target_ ? c : traits_type::eof();
}

std::streamsize LastLineTee::xsputn(const char* s, std::streamsize n) {
  for (std::streamsize i = 0; i < n; ++i) note(s[i]);
  target_.write(s, n);
  return target_ ? n : 0;
}

int LastLineTee::sync() {
  if (!current_.empty()) {
    last_ = current_;
    current_.clear();
  }
  target_.flush();
  return 0;
}

void write_operation_record(const std::string& command, const std::vector<std::string>& args, int status,
                            const std::string& last_out, const std::string& last_err) {
  if (status == kExitUsage) return;  // wrong use did nothing
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return;
  }
  if (LogInitialize() != 1) return;
  std::string text = "tav " + command;
  for (const std::string& a : args) text += " " + a;
  const std::string& outcome = status == kExitOk ? last_out : last_err;
  text += ": " + (outcome.empty() ? "exit status " + std::to_string(status) : outcome);
  const unsigned type = status == kExitOk ? 2 : status == kExitCancelled ? 1 : 0;
  TavWriteLog(type, "tav", "%s", text.c_str());
}

}  // namespace tav::cli
