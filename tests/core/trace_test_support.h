// Test support for the trace, crash handler and disk dump tests: a temporary program directory
// (TAV_HOME) with the trace configured from it, and readers for the UTF-16LE trace file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/program_dir.h"
#include "core/text_convert.h"
#include "core/trace.h"
#include "tests/core/scoped_env.h"

namespace tav::test_support {

// Reads a whole file as bytes; nullopt when it cannot be opened.
inline std::optional<std::string> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A trace file decoded to UTF-8. Fails the test when the byte-order mark is missing or the
// length is odd; nullopt when the file does not exist.
inline std::optional<std::string> read_trace_text(const std::string& path) {
  std::optional<std::string> bytes = read_bytes(path);
  if (!bytes) return std::nullopt;
  EXPECT_GE(bytes->size(), 2u) << path;
  EXPECT_EQ(bytes->substr(0, 2), std::string("\xFF\xFE")) << "byte-order mark of " << path;
  EXPECT_EQ(bytes->size() % 2, 0u) << path;
  if (bytes->size() < 2) return std::string();
  std::u16string units;
  for (size_t i = 2; i + 1 < bytes->size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>((*bytes)[i]) |
                                          (static_cast<unsigned char>((*bytes)[i + 1]) << 8)));
  }
  return tav::utf16_to_utf8(units);
}

// Splits at "\r\n"; fails the test when text is left after the last one (a torn line).
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line: " << text.substr(pos);
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// A fresh temporary program directory for one test: TAV_HOME points at it and the trace is
// configured from it; everything is put back (and the trace reconfigured) afterwards.
class TraceHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tav-trace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = std::string(pattern) + "/";
    home_env_.emplace("TAV_HOME", home_.c_str());
    tav::set_trace_file_cap(0);
    tav::trace_reload();
  }

  void TearDown() override {
    home_env_.reset();  // the old TAV_HOME is back before the trace is configured again
    tav::set_trace_file_cap(0);
    tav::trace_reload();
    std::error_code ignored;
    std::filesystem::permissions(home_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(home_, ignored);
  }

  // Writes "Settings.ini" into the program directory and reads the configuration again.
  void configure(const std::string& settings) {
    write_bytes(home_ + "Settings.ini", settings);
    tav::trace_reload();
  }

  std::string trace_path() const { return home_ + "Trace/" + tav::executable_name() + ".txt"; }
  std::string rotated_path() const { return home_ + "Trace/" + tav::executable_name() + ".1.txt"; }

  // The current trace file's lines; empty when there is no file.
  std::vector<std::string> trace_lines() const {
    std::optional<std::string> text = read_trace_text(trace_path());
    return text ? split_lines(*text) : std::vector<std::string>();
  }

  std::string home_;
  std::optional<tav::test::ScopedEnv> home_env_;
};

}  // namespace tav::test_support
