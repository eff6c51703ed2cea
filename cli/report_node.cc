// Text and JSON rendering of a ReportNode tree.
#include "cli/report_node.h"

#include <cstdio>

#include "cli/text_escape.h"

namespace tav::cli {

ReportNode ReportNode::number(uint64_t v) {
  ReportNode n(Kind::kUnsigned);
  n.unsigned_ = v;
  return n;
}

ReportNode ReportNode::hex(uint64_t v, int digits) {
  ReportNode n = number(v);
  n.hex_digits_ = digits < 1 ? 1 : (digits > 16 ? 16 : digits);
  return n;
}

ReportNode ReportNode::signed_number(int64_t v) {
  ReportNode n(Kind::kSigned);
  n.signed_ = v;
  return n;
}

ReportNode ReportNode::boolean(bool v) {
  ReportNode n(Kind::kBool);
  n.bool_ = v;
  return n;
}

ReportNode ReportNode::text(std::string v) {
  ReportNode n(Kind::kText);
  n.text_ = std::move(v);
  return n;
}

ReportNode& ReportNode::add(std::string key, ReportNode value) {
  members_.emplace_back(std::move(key), std::move(value));
  return members_.back().second;
}

ReportNode& ReportNode::push(ReportNode value, std::string label) {
  if (label.empty()) {
    // Appended to the empty label: g++ 12 at -O3 reports a false -Wrestrict when a string
    // literal is assigned or prepended here.
    label.push_back('[');
    label += std::to_string(members_.size());
    label.push_back(']');
  }
  members_.emplace_back(std::move(label), std::move(value));
  return members_.back().second;
}

void ReportNode::write_json(JsonWriter* json) const {
  switch (kind_) {
    case Kind::kObject:
      json->begin_object();
      for (const auto& [key, value] : members_) {
        json->key(key);
        value.write_json(json);
      }
      json->end_object();
      break;
    case Kind::kArray:
      json->begin_array();
      for (const auto& member : members_) member.second.write_json(json);
      json->end_array();
      break;
    case Kind::kUnsigned:
      json->uint_value(unsigned_);
      break;
    case Kind::kSigned:
      json->int_value(signed_);
      break;
    case Kind::kBool:
      json->bool_value(bool_);
      break;
    case Kind::kText:
      json->string_value(text_);
      break;
    case Kind::kNull:
      json->null_value();
      break;
  }
}

std::string ReportNode::scalar_text() const {
  switch (kind_) {
    case Kind::kUnsigned: {
      if (hex_digits_ == 0) return std::to_string(unsigned_);
      char buf[24];
      std::snprintf(buf, sizeof buf, "0x%0*llX", hex_digits_, static_cast<unsigned long long>(unsigned_));
      return buf;
    }
    case Kind::kSigned:
      return std::to_string(signed_);
    case Kind::kBool:
      return bool_ ? "yes" : "no";
    case Kind::kText:
      return quote_for_terminal(text_);
    case Kind::kNull:
      return "none";
    default:
      return {};
  }
}

bool ReportNode::is_plain_array() const {
  if (kind_ != Kind::kArray || members_.empty()) return false;
  for (const auto& member : members_) {
    if (member.second.kind_ == Kind::kObject || member.second.kind_ == Kind::kArray) return false;
  }
  return true;
}

void ReportNode::write_text(std::ostream& out, int indent) const {
  const std::string pad(static_cast<size_t>(indent) * 2, ' ');
  for (const auto& [key, value] : members_) {
    if (value.is_plain_array()) {
      out << pad << key << ':';
      for (const auto& member : value.members_) out << ' ' << member.second.scalar_text();
      out << '\n';
    } else if (value.kind_ == Kind::kObject || value.kind_ == Kind::kArray) {
      out << pad << key << ':';
      if (value.members_.empty()) out << (value.kind_ == Kind::kArray ? " none" : "");
      out << '\n';
      value.write_text(out, indent + 1);
    } else {
      out << pad << key << ": " << value.scalar_text() << '\n';
    }
  }
}

}  // namespace tav::cli
