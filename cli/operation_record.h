// The operation-log record of a `tav` run: backups, restores, clones, validations and mounts
// leave one record each in the operation log, as the programs with windows do, so `tav log`
// shows them beside those.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tav::cli {

// Whether runs of `command` are recorded.
bool is_recorded_command(const std::string& command);

// Runs `run(out, err)` with both streams passed through unchanged, then appends the record:
// type 2 (information) for exit status 0, 1 (warning) when cancelled, 0 (error) otherwise; the
// message is "tav COMMAND ARGS: " and the last line the command wrote (its result, or on failure
// its error line). A log that cannot be written does not change the command's status.
template <typename Run>
int run_recorded(const std::string& command, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err, Run run);

// The pieces run_recorded uses; see operation_record.cc.
class LastLineTee : public std::streambuf {
 public:
  explicit LastLineTee(std::ostream& target) : target_(target) {}
  const std::string& last_line() const { return last_; }

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void note(char c);
  std::ostream& target_;
  std::string current_;
  std::string last_;
};

void write_operation_record(const std::string& command, const std::vector<std::string>& args, int status,
                            const std::string& last_out, const std::string& last_err);

template <typename Run>
int run_recorded(const std::string& command, const std::vector<std::string>& args, std::ostream& out,
                 std::ostream& err, Run run) {
  LastLineTee out_tee(out), err_tee(err);
  std::ostream tee_out(&out_tee), tee_err(&err_tee);
  const int status = run(tee_out, tee_err);
  tee_out.flush();
  tee_err.flush();
  write_operation_record(command, args, status, out_tee.last_line(), err_tee.last_line());
  return status;
}

}  // namespace tav::cli
