// CTavXml: reading UTF-16 input into the tree, and writing the tree out (escaping, layout,
// atomic replacement of the file).
#include <cerrno>
#include <string>

#include "core/file_utils.h"
#include "core/last_error.h"
#include "core/tav_xml.h"
#include "core/tav_xml_internal.h"
#include "core/text_convert.h"

namespace tav::xml_internal {

std::string utf16le_text(const unsigned char* bytes, size_t size) {
  const size_t start = (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) ? 2 : 0;
  std::u16string units;
  units.reserve((size - start) / 2);
  for (size_t i = start; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return utf16_to_utf8(units);
}

}  // namespace tav::xml_internal

namespace {

using tav::xml_internal::nz;
using tav::xml_internal::utf16le_text;

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"yes\"?>\r\n";

// &amp; &lt; &gt; &quot; &apos; at the start of `raw`: the character and the entity's length.
bool match_entity(std::string_view raw, char* decoded, size_t* length) {
  static constexpr struct {
    std::string_view entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& e : kEntities) {
    if (raw.substr(0, e.entity.size()) == e.entity) {
      *decoded = e.c;
      *length = e.entity.size();
      return true;
    }
  }
  return false;
}

// Decodes one run of raw character data (tab, CR and LF already dropped) in a single pass, so
// "&amp;lt;" gives "&lt;". With `backslash`, \" \\ \n \r \t give their characters and any other
// backslash stays.
void append_decoded(std::string_view raw, bool backslash, std::string* out) {
  for (size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (backslash && c == '\\' && i + 1 < raw.size()) {
      char decoded = 0;
      switch (raw[i + 1]) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        default: break;
      }
      if (decoded != 0) {
        out->push_back(decoded);
        i += 2;
        continue;
      }
    } else if (c == '&') {
      char decoded;
      size_t length;
      if (match_entity(raw.substr(i), &decoded, &length)) {
        out->push_back(decoded);
        i += length;
        continue;
      }
    }
    out->push_back(c);
    ++i;
  }
}

// The writer's side of append_decoded. `backslash` is set for element text of documents read
// with backslash escapes; attribute values keep tabs and line breaks as they are.
void append_escaped(std::string_view text, bool backslash, std::string* out) {
  for (char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; continue;
      case '<': *out += "&lt;"; continue;
      case '>': *out += "&gt;"; continue;
      case '"': *out += "&quot;"; continue;
      default: break;
    }
    if (backslash) {
      switch (c) {
        case '\\': *out += "\\\\"; continue;
        case '\n': *out += "\\n"; continue;
        case '\r': *out += "\\r"; continue;
        case '\t': *out += "\\t"; continue;
        default: break;
      }
    }
    out->push_back(c);
  }
}

}  // namespace

// --- loading -------------------------------------------------------------------------------------

int CTavXml::Load(const char* file_name) {
  static const char kFn[] = "CTavXml::Load";
  std::string bytes;
  if (const int error = file_name != nullptr ? tav::read_whole_file(file_name, &bytes) : EINVAL; error != 0) {
    tav::set_last_error(static_cast<uint32_t>(error));
    XML_TRACE(tav::kTraceError, tav::kTraceLastError, kFn, "Open file '%s' failed", nz(file_name));
    return kXmlFileError;
  }
  if (bytes.empty()) {
    XML_TRACE(tav::kTraceError, 0, kFn, "file size is 0");
    return kXmlFileError;
  }
  if (bytes.size() < 2) {
    XML_TRACE(tav::kTraceError, 0, kFn, "Read bom failed");
    return kXmlFileError;
  }
  return load_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

int CTavXml::Load(const void* buffer, size_t size) {
  if (buffer == nullptr || size < 2) {
    XML_TRACE(tav::kTraceError, 0, "CTavXml::Load", "Invalid buffer, pBuf=%p, BufSize=%zu", buffer, size);
    return kXmlBadArgument;
  }
  return load_bytes(static_cast<const unsigned char*>(buffer), size);
}

int CTavXml::load_bytes(const unsigned char* bytes, size_t size) {
  root_ = std::make_unique<Element>();
  root_->name = "Root";
  current_ = root_.get();
  const int result = parse(utf16le_text(bytes, size));
  current_ = root_.get();
  return result;
}

// Reads UTF-8 text (every delimiter is ASCII, and UTF-8 never uses ASCII bytes inside a
// multi-byte character, so bytes can be taken one at a time).
int CTavXml::parse(std::string_view s) {
  static const char kFn[] = "CTavXml::Parse";
  Element* current = root_.get();
  int depth = 0;
  std::string run;  // character data since the last tag, decoded when the next tag starts
  auto flush = [&] {
    if (!run.empty()) append_decoded(run, escape_ != 0, &current->text);
    run.clear();
  };
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const char c = s[i++];
    if (c != '<') {
      if (c != '\t' && c != '\r' && c != '\n') run.push_back(c);
      continue;
    }
    flush();
    if (i >= n) break;
    const char next = s[i++];
    if (next == '/') {
      const size_t end = s.find('>', i);
      const std::string_view closing = s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
      i = end == std::string_view::npos ? n : end + 1;
      if (current == root_.get()) {
        XML_TRACE(tav::kTraceError, 0, kFn, "Closing tag </%.*s> without an open element",
                  static_cast<int>(closing.size()), closing.data());
        return kXmlMismatch;
      }
      if (closing != current->name) {
        XML_TRACE(tav::kTraceError, 0, kFn, "Element name <%s></%.*s> not match", current->name.c_str(),
                  static_cast<int>(closing.size()), closing.data());
        return kXmlMismatch;
      }
      current = current->parent;
      --depth;
      continue;
    }
    if (next == '?') {
      const size_t end = s.find('>', i);
      i = end == std::string_view::npos ? n : end + 1;
      continue;
    }
    --i;  // that character begins the element's name
    if (depth >= kMaxDepth) {
      XML_TRACE(tav::kTraceError, 0, kFn, "Elements nested deeper than %d", kMaxDepth);
      return kXmlMismatch;
    }
    auto owned = std::make_unique<Element>();
    Element* element = owned.get();
    element->parent = current;
    current->children.push_back(std::move(owned));
    bool enter = false;
    bool tag_ended = false;
    while (i < n && !tag_ended) {
      const char ch = s[i++];
      if (ch == '>') {
        enter = tag_ended = true;
      } else if (ch == ' ') {
        break;
      } else {
        element->name.push_back(ch);  // a '/' here is part of the name
      }
    }
    std::string attr_name;
    while (i < n && !tag_ended) {
      const char ch = s[i++];
      if (ch == ' ') continue;
      if (ch == '=') {
        if (i < n) ++i;  // the opening quote, whatever it is
        const size_t end = s.find('"', i);
        const std::string_view raw = s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
        i = end == std::string_view::npos ? n : end + 1;
        std::string value;
        append_decoded(raw, false, &value);
        element->attrs.emplace_back(std::move(attr_name), std::move(value));
        attr_name.clear();
      } else if (ch == '/' && i < n && s[i] == '>') {
        ++i;  // self-closing: the element stays a child and does not become current
        tag_ended = true;
      } else if (ch == '>') {
        enter = tag_ended = true;
      } else {
        attr_name.push_back(ch);
      }
    }
    if (enter) {
      current = element;
      ++depth;
    }
  }
  flush();
  return kXmlOk;
}

// --- saving --------------------------------------------------------------------------------------

void CTavXml::write_element(const Element& element, int depth, bool escape, std::u16string* out) {
  std::string line(static_cast<size_t>(depth), '\t');
  line += '<';
  line += element.name;
  for (const auto& [name, value] : element.attrs) {
    line += ' ';
    line += name;
    line += "=\"";
    append_escaped(value, false, &line);
    line += '"';
  }
  line += '>';
  const bool has_children = !element.children.empty();
  if (has_children && element.text.empty()) line += "\r\n";
  if (!element.text.empty()) {
    append_escaped(element.text, escape, &line);
    if (has_children) line += "\r\n";
  }
  *out += tav::utf8_to_utf16(line);
  for (const auto& child : element.children) write_element(*child, depth + 1, escape, out);
  line.assign(has_children ? static_cast<size_t>(depth) : 0, '\t');
  line += "</";
  line += element.name;
  line += ">\r\n";
  *out += tav::utf8_to_utf16(line);
}

std::string CTavXml::Serialize() const {
  std::u16string text = tav::utf8_to_utf16(kDeclaration);
  for (const auto& child : root_->children) write_element(*child, 0, escape_ != 0, &text);
  std::string bytes = "\xFF\xFE";
  tav::append_utf16le(text, &bytes);
  return bytes;
}

int CTavXml::Save(const char* file_name) const {
  if (file_name == nullptr || *file_name == '\0') {
    tav::set_last_error(EINVAL);
    XML_TRACE(tav::kTraceError, tav::kTraceLastError, "CTavXml::Save", "Create file '%s' failed", nz(file_name));
    return kXmlFileError;
  }
  bool before_write = false;
  const int error = tav::write_file_atomically(file_name, Serialize(), &before_write);
  if (error == 0) return kXmlOk;
  tav::set_last_error(static_cast<uint32_t>(error));
  XML_TRACE(tav::kTraceError, tav::kTraceLastError, "CTavXml::Save",
            before_write ? "Create file '%s' failed" : "Write file '%s' failed", file_name);
  return before_write ? kXmlFileError : kXmlWriteError;
}

