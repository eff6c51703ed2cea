// CTavXml: the suite's small XML document for its UTF-16 data files (the scheduler's task file,
// the language files). Core library (TavPub).
//
// The whole document is a tree in memory with a cursor, the current element, which callers move
// with EnterElement / LeaveElement and read or extend in place. An invisible element named "Root"
// holds the top-level elements; it is never written.
//
// File layout (written by Save, read by Load):
//   - UTF-16LE with the byte-order mark FF FE (a file without the mark is read from offset 0);
//   - the line `<?xml version="1.0" encoding="utf-16" standalone="yes"?>` and "\r\n";
//   - each element: one tab per depth, `<name attr="value" ...>`, then "\r\n" when it has
//     children and no text; its text, with "\r\n" after it when it has children; its children
//     one depth deeper; the closing tag, indented only when the element has children; "\r\n".
//     A leaf is one line `<name>text</name>`.
//   - `&`, `<`, `>` and `"` in text and attribute values are written as &amp; &lt; &gt; &quot;
//     and read back (also &apos;); any other `&...;` is kept as it stands, so files of writers
//     that did not escape still read the same. Element and attribute names holding characters
//     that would end a tag are refused.
//   - Tabs, carriage returns and line feeds in element text are layout and dropped on reading;
//     with the escape flag they are written as the backslash escapes \t \r \n (and a backslash
//     as \\), which the reader decodes, so such texts survive a round trip.
//
// Texts are UTF-8 in memory. Results: Load and Save return 0 on success and an error code
// otherwise (below); every other int operation returns nonzero on success and 0 on failure.
// Failures are traced. Pointers returned by the getters point into the tree and stay valid until
// that element's text, attributes or the tree around it change, or the document goes.
//
// Not thread-safe: a document belongs to one thread at a time. Copies are deep and independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Results of CTavXml::Load and CTavXml::Save.
inline constexpr int kXmlOk = 0;
inline constexpr int kXmlBadArgument = 1;  // Load from memory: null buffer or fewer than 2 bytes
inline constexpr int kXmlMismatch = 2;     // a closing tag that does not close the current element
inline constexpr int kXmlFileError = 3;    // the file cannot be opened / created / read, or is < 2 bytes
inline constexpr int kXmlWriteError = 4;   // Save: writing, syncing or renaming failed (target untouched)

class CTavXml {
 public:
  // `escape` 1: element text is read with the backslash escapes \" \\ \n \r \t (language files).
  explicit CTavXml(int escape = 0);
  ~CTavXml();
  CTavXml(const CTavXml& other);
  CTavXml& operator=(const CTavXml& other);

  // Replaces the tree with the file's contents and puts the cursor on the root. A file that
  // cannot be opened or is shorter than 2 bytes gives kXmlFileError and keeps the old tree.
  // Parsing stops at the end of the input (elements still open are kept) with kXmlOk, or at a
  // closing tag that does not match the current element (or closes nothing) with kXmlMismatch,
  // keeping the part read so far.
  int Load(const char* file_name);
  // The same from `size` bytes of UTF-16LE in memory (a leading byte-order mark is skipped).
  // A null buffer or fewer than 2 bytes gives kXmlBadArgument and keeps the old tree.
  int Load(const void* buffer, size_t size);

  // Writes the whole document. The bytes go to a new file in the same directory, which is synced
  // and then renamed over `file_name`, so the target is either the old file or the complete new
  // one. An existing target keeps its permission bits. kXmlFileError when the new file cannot be
  // created, kXmlWriteError when writing, syncing or renaming fails; the reason (errno) is also
  // left in the thread's last error.
  int Save(const char* file_name) const;
  // The bytes Save writes.
  std::string Serialize() const;

  // Cursor moves. Names are compared exactly (case-sensitive).
  int EnterElement(const char* name);
  int EnterElement(int index);
  int LeaveElement();  // 0 at the root

  int GeElementCount() const;            // children of the current element
  const char* GetElementName() const;    // "Root" at the root

  // The current element's text (possibly empty, never null).
  const char* GetElementData() const;
  // The text of the first child named `name` (cursor unchanged); null when there is none.
  const char* GetElementData(const char* name) const;
  // The same converted as a decimal (leading number, 0 when there is none); returns 0 and leaves
  // `value` untouched when there is no such child.
  int GetElementData(const char* name, int& value) const;
  int GetElementData(const char* name, int64_t& value) const;
  int GetElementData(const char* name, double& value) const;
  // The text of the child at `index`; null out of range.
  const char* GetElementData(int index) const;
  int GetElementDataInt() const;
  int64_t GetElementDataInt64() const;
  double GetElementDataDouble() const;
  int SetElementData(const char* text);  // null sets an empty text

  // Value of the current element's first attribute named `name`, or null.
  const char* GetAttrValue(const char* name) const;
  int GetAttrValue(const char* name, int& value) const;
  int GetAttrValue(const char* name, int64_t& value) const;
  int GetAttrValue(const char* name, double& value) const;

  // Appends a child to the current element; with `enter` the new child becomes current. A name
  // that is empty or holds any of < > & " ' / = or white space is refused (0), as is nesting
  // deeper than kMaxDepth. The double is written as with "%f" in the C locale.
  int AddElement(const char* name, const char* text, int enter = 0);
  int AddElement(const char* name, int value, int enter = 0);
  int AddElement(const char* name, int64_t value, int enter = 0);
  int AddElement(const char* name, double value, int enter = 0);
  // Removes the current element's first child named `name` with its subtree; a null name
  // removes all children.
  int DelElement(const char* name);

  // Appends an attribute (a second one of the same name is added too). Names as for AddElement.
  int AddAttr(const char* name, const char* value);
  int AddAttr(const char* name, int value);
  int AddAttr(const char* name, int64_t value);
  int AddAttr(const char* name, double value);
  // Removes the first attribute named `name`; a null name removes all of them.
  int DelAttr(const char* name);

  // Deepest nesting the document accepts, from the parser and from AddElement alike; deeper
  // input ends Load with kXmlMismatch. Keeps every walk over the tree far from the stack's end.
  static constexpr int kMaxDepth = 1024;

 private:
  struct Element {
    std::string name;
    std::string text;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::vector<std::unique_ptr<Element>> children;
    Element* parent = nullptr;
  };

  int parse(std::string_view text);
  int load_bytes(const unsigned char* bytes, size_t size);
  static std::unique_ptr<Element> clone(const Element& source, const Element* mark, Element** copy_of_mark);
  static void write_element(const Element& element, int depth, bool escape, std::u16string* out);
  int add_child(const char* name, std::string text, int enter);
  int add_attr(const char* name, std::string value);
  int depth_of(const Element* element) const;

  int escape_;
  std::unique_ptr<Element> root_;
  Element* current_;
};
