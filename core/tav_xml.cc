// CTavXml: construction, deep copies, the cursor, and reading and editing the tree at it.
#include "core/tav_xml.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "core/tav_xml_internal.h"

namespace {

using tav::xml_internal::nz;

// Names end at a space, '>', '=' or '/' when read back, and must not hold what the writer
// escapes (names are written as they are).
bool valid_name(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  if (*name == '?') return false;  // "<?" starts a declaration
  for (const char* p = name; *p != '\0'; ++p) {
    if (std::strchr("<>&\"'/= \t\r\n", *p) != nullptr) return false;
  }
  return true;
}

std::string_view skip_space(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  return text.substr(i);
}

// Leading decimal integer (after white space), clamped to the type; 0 when there is none.
template <typename T>
T to_integer(const char* text) {
  std::string_view s = skip_space(nz(text));
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  unsigned long long magnitude = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
  (void)end;
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(std::numeric_limits<T>::max()) + 1
               : static_cast<unsigned long long>(std::numeric_limits<T>::max());
  if (ec == std::errc::result_out_of_range || magnitude > limit) magnitude = limit;
  if (!negative) return static_cast<T>(magnitude);
  return magnitude == 0 ? 0 : static_cast<T>(-static_cast<T>(magnitude - 1) - 1);
}

// Leading decimal number in the C locale, whatever the process locale; 0 when there is none.
double to_double(const char* text) {
  std::string_view s = skip_space(nz(text));
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  (void)end;
  return ec == std::errc() || ec == std::errc::result_out_of_range ? value : 0.0;
}

int store(const char* text, int* value) {
  if (text != nullptr) *value = to_integer<int>(text);
  return text != nullptr ? 1 : 0;
}
int store(const char* text, int64_t* value) {
  if (text != nullptr) *value = to_integer<int64_t>(text);
  return text != nullptr ? 1 : 0;
}
int store(const char* text, double* value) {
  if (text != nullptr) *value = to_double(text);
  return text != nullptr ? 1 : 0;
}

// Removes every item (null name) or the first one named `name`; false when none has that name.
template <typename Items, typename NameOf>
bool erase_named(Items& items, const char* name, NameOf name_of) {
  if (name == nullptr) {
    items.clear();
    return true;
  }
  const auto it = std::find_if(items.begin(), items.end(), [&](const auto& item) { return name_of(item) == name; });
  if (it == items.end()) return false;
  items.erase(it);
  return true;
}

std::string format_double(double value) {
  char buffer[400];  // "%f" of the largest double has 309 digits before the point
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  return ec == std::errc() ? std::string(buffer, end) : std::string("0.000000");
}

}  // namespace

// --- construction and copies ---------------------------------------------------------------------

CTavXml::CTavXml(int escape) : escape_(escape), root_(std::make_unique<Element>()), current_(root_.get()) {
  root_->name = "Root";
}

CTavXml::~CTavXml() = default;

CTavXml::CTavXml(const CTavXml& other) : escape_(other.escape_) {
  Element* cursor = nullptr;
  root_ = clone(*other.root_, other.current_, &cursor);
  current_ = cursor != nullptr ? cursor : root_.get();
}

CTavXml& CTavXml::operator=(const CTavXml& other) {
  if (this != &other) {
    Element* cursor = nullptr;
    std::unique_ptr<Element> root = clone(*other.root_, other.current_, &cursor);
    escape_ = other.escape_;
    root_ = std::move(root);
    current_ = cursor != nullptr ? cursor : root_.get();
  }
  return *this;
}

// Deep copy of `source`; *copy_of_mark receives the copy of `mark` when it lies in the subtree.
std::unique_ptr<CTavXml::Element> CTavXml::clone(const Element& source, const Element* mark,
                                                 Element** copy_of_mark) {
  auto copy = std::make_unique<Element>();
  copy->name = source.name;
  copy->text = source.text;
  copy->attrs = source.attrs;
  copy->children.reserve(source.children.size());
  if (&source == mark) *copy_of_mark = copy.get();
  for (const auto& child : source.children) {
    copy->children.push_back(clone(*child, mark, copy_of_mark));
    copy->children.back()->parent = copy.get();
  }
  return copy;
}

int CTavXml::depth_of(const Element* element) const {
  int depth = 0;
  for (const Element* e = element; e != root_.get(); e = e->parent) ++depth;
  return depth;
}

// --- cursor --------------------------------------------------------------------------------------

int CTavXml::EnterElement(const char* name) {
  if (name != nullptr) {
    for (const auto& child : current_->children) {
      if (child->name == name) {
        current_ = child.get();
        return 1;
      }
    }
  }
  XML_TRACE(tav::kTraceWarn, 0, "CTavXml::EnterElement", "Enter subelement <%s> from element <%s> failed",
            nz(name), current_->name.c_str());
  return 0;
}

int CTavXml::EnterElement(int index) {
  if (index < 0 || static_cast<size_t>(index) >= current_->children.size()) {
    XML_TRACE(tav::kTraceWarn, 0, "CTavXml::EnterElement", "Enter %d subelement from element <%s> failed",
              index, current_->name.c_str());
    return 0;
  }
  current_ = current_->children[static_cast<size_t>(index)].get();
  return 1;
}

int CTavXml::LeaveElement() {
  if (current_->parent == nullptr) {
    XML_TRACE(tav::kTraceWarn, 0, "CTavXml::LeaveElement", "Leave element <%s> failed", current_->name.c_str());
    return 0;
  }
  current_ = current_->parent;
  return 1;
}

int CTavXml::GeElementCount() const { return static_cast<int>(current_->children.size()); }

const char* CTavXml::GetElementName() const {
  if (current_->name.empty()) XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetElementName", "Element name is null");
  return current_->name.c_str();
}

// --- element text --------------------------------------------------------------------------------

const char* CTavXml::GetElementData() const {
  if (current_->text.empty()) {
    XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetElementData", "Data of element <%s> is null", current_->name.c_str());
  }
  return current_->text.c_str();
}

const char* CTavXml::GetElementData(const char* name) const {
  if (name != nullptr) {
    for (const auto& child : current_->children) {
      if (child->name == name) return child->text.c_str();
    }
  }
  XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetElementData", "Enter subelement <%s> from element <%s> failed",
            nz(name), current_->name.c_str());
  return nullptr;
}

int CTavXml::GetElementData(const char* name, int& value) const { return store(GetElementData(name), &value); }

int CTavXml::GetElementData(const char* name, int64_t& value) const { return store(GetElementData(name), &value); }

int CTavXml::GetElementData(const char* name, double& value) const { return store(GetElementData(name), &value); }

const char* CTavXml::GetElementData(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= current_->children.size()) {
    XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetElementData", "Enter %d subelement from element <%s> failed",
              index, current_->name.c_str());
    return nullptr;
  }
  return current_->children[static_cast<size_t>(index)]->text.c_str();
}

int CTavXml::GetElementDataInt() const { return to_integer<int>(current_->text.c_str()); }
int64_t CTavXml::GetElementDataInt64() const { return to_integer<int64_t>(current_->text.c_str()); }
double CTavXml::GetElementDataDouble() const { return to_double(current_->text.c_str()); }

int CTavXml::SetElementData(const char* text) {
  current_->text = nz(text);
  return 1;
}

// --- attributes ----------------------------------------------------------------------------------

const char* CTavXml::GetAttrValue(const char* name) const {
  if (name != nullptr) {
    for (const auto& [attr, value] : current_->attrs) {
      if (attr != name) continue;
      if (value.empty()) {
        XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetAttrValue", "Value of attribute '%s' is null in element <%s>",
                  name, current_->name.c_str());
      }
      return value.c_str();
    }
  }
  XML_TRACE(tav::kTraceWarn, 0, "CTavXml::GetAttrValue", "Not found attribute '%s' in element <%s>", nz(name),
            current_->name.c_str());
  return nullptr;
}

int CTavXml::GetAttrValue(const char* name, int& value) const { return store(GetAttrValue(name), &value); }

int CTavXml::GetAttrValue(const char* name, int64_t& value) const { return store(GetAttrValue(name), &value); }

int CTavXml::GetAttrValue(const char* name, double& value) const { return store(GetAttrValue(name), &value); }

// --- editing -------------------------------------------------------------------------------------

int CTavXml::add_child(const char* name, std::string text, int enter) {
  if (!valid_name(name)) {
    XML_TRACE(tav::kTraceError, 0, "CTavXml::AddElement", "Invalid element name <%s>", nz(name));
    return 0;
  }
  if (depth_of(current_) >= kMaxDepth) {
    XML_TRACE(tav::kTraceError, 0, "CTavXml::AddElement", "Elements nested deeper than %d", kMaxDepth);
    return 0;
  }
  auto child = std::make_unique<Element>();
  child->name = name;
  child->text = std::move(text);
  child->parent = current_;
  Element* added = child.get();
  current_->children.push_back(std::move(child));
  if (enter != 0) current_ = added;
  return 1;
}

int CTavXml::AddElement(const char* name, const char* text, int enter) { return add_child(name, nz(text), enter); }
int CTavXml::AddElement(const char* name, int value, int enter) { return add_child(name, std::to_string(value), enter); }
int CTavXml::AddElement(const char* name, int64_t value, int enter) {
  return add_child(name, std::to_string(value), enter);
}
int CTavXml::AddElement(const char* name, double value, int enter) { return add_child(name, format_double(value), enter); }

int CTavXml::DelElement(const char* name) {
  if (erase_named(current_->children, name, [](const auto& child) -> const std::string& { return child->name; })) {
    return 1;
  }
  XML_TRACE(tav::kTraceWarn, 0, "CTavXml::DelElement", "Delete subelement <%s> from element <%s> failed", name,
            current_->name.c_str());
  return 0;
}

int CTavXml::add_attr(const char* name, std::string value) {
  if (!valid_name(name)) {
    XML_TRACE(tav::kTraceError, 0, "CTavXml::AddAttr", "Invalid attribute name '%s'", nz(name));
    return 0;
  }
  current_->attrs.emplace_back(name, std::move(value));
  return 1;
}

int CTavXml::AddAttr(const char* name, const char* value) { return add_attr(name, nz(value)); }
int CTavXml::AddAttr(const char* name, int value) { return add_attr(name, std::to_string(value)); }
int CTavXml::AddAttr(const char* name, int64_t value) { return add_attr(name, std::to_string(value)); }
int CTavXml::AddAttr(const char* name, double value) { return add_attr(name, format_double(value)); }

int CTavXml::DelAttr(const char* name) {
  if (erase_named(current_->attrs, name, [](const auto& attr) -> const std::string& { return attr.first; })) return 1;
  XML_TRACE(tav::kTraceWarn, 0, "CTavXml::DelAttr", "Delete attribute '%s' in element <%s>", name,
            current_->name.c_str());
  return 0;
}
