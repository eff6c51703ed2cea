// Parsing `tav backup`'s arguments: options, their values, and the two operands.
#include "cli/backup_args.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "cli/image_session.h"
#include "format/ego_format.h"
#include "core/text_convert.h"
#include "services/backup_location.h"

namespace tav::cli {

namespace {

bool valid_utf8(const std::string& text) {
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t length = 0;
    if (decode_utf8_char(rest, &length) < 0) return false;
    rest.remove_prefix(length);
  }
  return true;
}

}  // namespace

bool parse_size_bytes(const std::string& text, uint64_t* bytes) {
  size_t at = 0;
  uint64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    const uint64_t digit = uint64_t(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++at;
  }
  if (at == 0) return false;
  std::string suffix = text.substr(at);
  for (char& c : suffix) c = char(std::toupper(static_cast<unsigned char>(c)));
  unsigned shift = 0;
  if (!suffix.empty()) {
    static const char kUnits[] = "KMGT";
    const char* unit = std::strchr(kUnits, suffix[0]);
    if (unit == nullptr || suffix[0] == '\0') return false;
    shift = 10 * unsigned(unit - kUnits + 1);
    const std::string rest = suffix.substr(1);
    if (!rest.empty() && rest != "B" && rest != "IB") return false;
  }
  if (value == 0 || value > (UINT64_MAX >> shift)) return false;
  *bytes = value << shift;
  return true;
}

bool parse_backup_args(const std::vector<std::string>& args, BackupArgs* out, std::string* error) {
  *out = BackupArgs{};
  out->base_name = kDefaultBaseName;
  std::vector<std::string> operands;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      operands.push_back(a);
      continue;
    }
    auto value = [&](std::string* into, bool may_be_empty) {
      if (i + 1 >= args.size() || (!may_be_empty && args[i + 1].empty())) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      out->help = true;
      return true;
    } else if (a == "--name") {
      if (!value(&out->base_name, false)) return false;
      if (out->base_name.find('/') != std::string::npos) {
        *error = "--name takes a base name, not a path";
        return false;
      }
    } else if (a == "--partition") {
      if (!value(&v, false)) return false;
      uint32_t k = 0;
      if (!parse_index(v, 0xFFFFFFFFu, &k)) {
        *error = "--partition takes a partition number from 1, not '" + v + "'";
        return false;
      }
      if (std::find(out->partitions.begin(), out->partitions.end(), k) == out->partitions.end()) {
        out->partitions.push_back(k);
      }
    } else if (a == "--type") {
      if (!value(&v, false)) return false;
      if (v == "full") {
        out->backup_type = img::kBackupFull;
      } else if (v == "incremental") {
        out->backup_type = img::kBackupIncremental;
      } else if (v == "differential") {
        out->backup_type = img::kBackupDifferential;
      } else {
        *error = "--type takes full, incremental or differential, not '" + v + "'";
        return false;
      }
    } else if (a == "--compress") {
      if (!value(&v, false)) return false;
      if (v == "none") {
        out->compress_mode = img::kCompressNone;
      } else if (v == "normal") {
        out->compress_mode = img::kCompressNormal;
      } else if (v == "high") {
        out->compress_mode = img::kCompressHigh;
      } else {
        *error = "--compress takes none, normal or high, not '" + v + "'";
        return false;
      }
    } else if (a == "--volume-size") {
      if (!value(&v, false)) return false;
      if (!parse_size_bytes(v, &out->volume_size_bytes) || out->volume_size_bytes < services::kMinVolumeSizeBytes) {
        *error = "--volume-size takes a size of at least 1M (bytes, or with K, M, G or T), not '" + v + "'";
        return false;
      }
    } else if (a == "--comment") {
      if (!value(&out->comment, true)) return false;
      if (!valid_utf8(out->comment)) {
        *error = "--comment is not UTF-8 text";
        return false;
      }
    } else if (a == "--no-snapshot") {
      out->no_snapshot = true;
    } else {
      *error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (operands.size() != 2) {
    *error = "give the source disk and the storage directory";
    return false;
  }
  if (operands[0].empty() || operands[1].empty()) {
    *error = "the source disk and the storage directory must not be empty";
    return false;
  }
  out->source = operands[0];
  out->directory = operands[1];
  return true;
}

}  // namespace tav::cli
