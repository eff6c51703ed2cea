// A tree of named values that a command fills once and prints either as indented text or as
// JSON, so both forms of its output always carry the same content.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/json_writer.h"

namespace tav::cli {

class ReportNode {
 public:
  enum class Kind { kObject, kArray, kUnsigned, kSigned, kBool, kText, kNull };

  static ReportNode object() { return ReportNode(Kind::kObject); }
  static ReportNode array() { return ReportNode(Kind::kArray); }
  static ReportNode null() { return ReportNode(Kind::kNull); }
  static ReportNode number(uint64_t v);
  // Shown in hexadecimal with `digits` digits in text (a JSON number all the same).
  static ReportNode hex(uint64_t v, int digits = 8);
  static ReportNode signed_number(int64_t v);
  static ReportNode boolean(bool v);
  static ReportNode text(std::string v);

  // Adds a member to an object (in order) and returns it, for filling nested objects.
  ReportNode& add(std::string key, ReportNode value);
  // Appends an item to an array; `label` names it in the text form (e.g. "disk 0").
  ReportNode& push(ReportNode value, std::string label = {});

  Kind kind() const { return kind_; }

  void write_json(JsonWriter* json) const;
  // Indented "key: value" lines; nested objects and array items one level deeper, arrays of
  // plain values on one line.
  void write_text(std::ostream& out, int indent = 0) const;

 private:
  explicit ReportNode(Kind kind) : kind_(kind) {}
  std::string scalar_text() const;
  bool is_plain_array() const;

  Kind kind_;
  uint64_t unsigned_ = 0;
  int64_t signed_ = 0;
  bool bool_ = false;
  int hex_digits_ = 0;  // 0: decimal
  std::string text_;
  std::vector<std::pair<std::string, ReportNode>> members_;  // object members or labelled items
};

}  // namespace tav::cli
