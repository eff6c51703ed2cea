// Helpers for the INI store, CTavCfg and settings tests: a file's bytes, UTF-16LE file text.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tav::ini_test {

// The file's bytes; empty when it cannot be read.
inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `text` as the bytes of a UTF-16LE file with its byte-order mark.
inline std::string utf16le_with_bom(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace tav::ini_test
