// Running system tools through the console pipe.
#include "disk/tool_run.h"

namespace tav::disk {

bool ToolRun::run(const std::vector<std::string>& argv) {
  lines_.clear();
  if (Launch(argv, false) != 1) return false;
  CloseStdIn();
  Wait();
  return Succeeded();
}

std::string ToolRun::output() const {
  const std::string text = last_lines(lines_.size());
  return text.empty() ? "no output" : text;
}

std::string ToolRun::last_lines(size_t count) const {
  std::string text;
  const size_t first = lines_.size() > count ? lines_.size() - count : 0;
  for (size_t i = first; i < lines_.size(); ++i) {
    if (!text.empty()) text += "; ";
    text += lines_[i];
  }
  return text;
}

std::string describe_command(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
  return text;
}

}  // namespace tav::disk
