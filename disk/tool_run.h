// Running a system tool (lvm2's tools, resize2fs, ntfsresize, losetup) through the console pipe
// with an argument vector, keeping what it prints for messages and the trace.
#pragma once

#include <string>
#include <vector>

#include "core/console_pipe.h"

namespace tav::disk {

// One tool run at a time per object. The tool's standard input is closed at once, so a tool that
// asks a question reads end of input instead of waiting for an answer nobody gives.
class ToolRun : public CConsolePipe {
 public:
  ~ToolRun() override { Wait(); }

  // Runs argv and waits for its end. True when the program ran and exited with 0.
  bool run(const std::vector<std::string>& argv);
  // Every line the tool printed (standard output and error together).
  const std::vector<std::string>& lines() const { return lines_; }
  // The output on one line ("; " between lines), or "no output", for messages.
  std::string output() const;
  // The last `count` lines on one line, for messages about long outputs.
  std::string last_lines(size_t count) const;

 protected:
  // Runs on the listener thread; run() reads lines_ only after Wait() has joined it.
  void FlushOutput(const char* line) override { lines_.emplace_back(line); }

 private:
  std::vector<std::string> lines_;
};

// The command line of argv for messages ("resize2fs -f /dev/loop0").
std::string describe_command(const std::vector<std::string>& argv);

}  // namespace tav::disk
