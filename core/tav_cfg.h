// CTavCfg: typed get and set operations on one INI file (numbers, GUIDs, binary blocks,
// sections), over the INI store of core/ini_file.h. Core library (TavPub).
//
// Every call reads the file anew (nothing is cached) and every change is one locked, atomic
// save, so separate processes may use the same file at once. Section and key names are compared
// without ASCII case; a null or empty name fails every operation, as does a name, value or block
// entry holding a line break or NUL, a key holding '=' or starting with '[' or ';', and a section
// holding ']' (these fail with EINVAL).
//
// Results: int operations return nonzero on success and 0 on failure with the reason in the
// thread's last error (an errno value). Getters of values return their default instead.
// Values are written in the C locale whatever the process locale is.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tav {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};

inline bool operator==(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.data4[i] != b.data4[i]) return false;
  }
  return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in uppercase.
std::string guid_to_string(const Guid& guid);
// Parses exactly that braced form, hexadecimal digits in either case; false (guid untouched)
// for anything else.
bool guid_from_string(const std::string& text, Guid* guid);

}  // namespace tav

// Copyable; a copy names the same file. Not safe for concurrent use of one object while
// SetFileName runs; distinct objects are independent.
class CTavCfg {
 public:
  // Largest string GetStringValue returns, in bytes, terminator counted (never cut inside a
  // UTF-8 character).
  static constexpr uint32_t kMaxStringChars = 4096;
  // Budget of the map form of GetSection, GetSectionNames and GetKeyNames: the entries or names,
  // each with a terminator, plus a final terminator. Only whole entries or names are taken.
  static constexpr uint32_t kMaxSectionChars = 32768;

  CTavCfg();
  explicit CTavCfg(const std::string& file_name);
  CTavCfg(const CTavCfg&) = default;
  CTavCfg& operator=(const CTavCfg&) = default;

  // The file name from a printf-style format ("%s%s" with a directory and a file name).
  void SetFileName(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const std::string& GetFileName() const;

  // Writes `text` as the key's value; null writes an empty value.
  int SetStringValue(const char* section, const char* key, const char* text);
  // The key's value, or `default_value` (null: empty) when the key is missing, the file cannot be
  // read or a name is invalid; at most kMaxStringChars - 1 bytes, trimmed of white space.
  void GetStringValue(const char* section, const char* key, std::string& out,
                      const char* default_value) const;

  // Written as "0x%08X" when `hex` (which wins over `is_signed`), else "%d" or "%u". Read with
  // "%x" (0x prefix optional), "%d" or "%u" after trimming: the default when the value is
  // missing, empty, or does not scan as exactly one number; a number followed by other text reads
  // as that number.
  int SetInt32Value(const char* section, const char* key, int32_t value, bool hex, bool is_signed);
  int32_t GetInt32Value(const char* section, const char* key, int32_t default_value, bool hex,
                        bool is_signed) const;
  // As the int32 forms, with "0x%016llX", "%lld" and "%llu".
  int SetInt64Value(const char* section, const char* key, int64_t value, bool hex, bool is_signed);
  int64_t GetInt64Value(const char* section, const char* key, int64_t default_value, bool hex,
                        bool is_signed) const;

  // Written as "%f". Read as the leading number of the text (0 when there is none); the default
  // when the key is missing or empty.
  int SetDoubleValue(const char* section, const char* key, double value);
  double GetDoubleValue(const char* section, const char* key, double default_value) const;

  int SetGuidValue(const char* section, const char* key, const tav::Guid& guid);
  // Clears `guid`, then reads the key with the all-zero GUID as default: a missing key gives 1
  // and the zero GUID. 0 when the text is not a braced GUID.
  int GetGuidValue(const char* section, const char* key, tav::Guid& guid) const;

  // `bytes` bytes as two uppercase hexadecimal digits each, then two for their sum mod 256.
  // 0 (EINVAL) for a null buffer or a count of 0.
  int SetBinaryValue(const char* section, const char* key, const void* data, uint32_t bytes);
  // Fills `data` only when the value has exactly 2 * (bytes + 1) hexadecimal digits and the sum
  // matches; else 0 (ENOENT for a missing key, EINVAL otherwise) with `data` untouched.
  int GetBinaryValue(const char* section, const char* key, void* data, uint32_t bytes) const;

  // Replaces the section's entries with `block`: entries "k=v" each ended by '\0', the block by a
  // second '\0'. The section's comments and blank lines stay; a missing section is added.
  int SetSection(const char* section, const char* block);
  // Copies the section's entries as such a block into `buffer` of `size` chars. Returns the
  // chars written before the block's final '\0' (0 for a missing or empty section). When the
  // block does not fit, only whole entries that fit are copied and the last error is ERANGE
  // (it is 0 otherwise). 0 with EINVAL for a null buffer, a size of 0 or an invalid name.
  int GetSection(const char* section, char* buffer, uint32_t size) const;
  // Adds the section's entries to `map`: each entry split at its first '=' (key and value
  // trimmed; no '=' gives an empty value; an entry starting with '=' is skipped); a later entry
  // with the same key text replaces an earlier one. Other entries of `map` stay.
  // 1 when the file was read (a missing file or section adds nothing), else 0.
  int GetSection(const char* section, std::unordered_map<std::string, std::string>& map) const;
  // Appends the section names, each once, in file order. 1 when the file was read, else 0.
  int GetSectionNames(std::vector<std::string>& names) const;
  // Appends the section's key names, each once, in file order. 1 when the file was read, else 0.
  int GetKeyNames(const char* section, std::vector<std::string>& names) const;

  // Removing what is not there succeeds.
  int RemoveKey(const char* section, const char* key);
  // Removes the section's entries and keeps its header (and comments).
  int RemoveAllKeys(const char* section);
  int RemoveSection(const char* section);

 private:
  std::string file_name_;
};
