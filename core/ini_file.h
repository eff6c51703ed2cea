// The INI store: a line-preserving INI document and the locked, atomic file operations that
// read and edit one. Core library (TavPub); CTavCfg and the settings readers sit on top of it.
//
// File rules: sections in square brackets, key=value lines, section and key names compared
// without ASCII case, white space around names and values ignored when reading, the first of
// duplicate sections (and of duplicate keys within it) wins. Lines starting with ';' are
// comments. An edit touches only the lines it must: every other line (comments, blank lines,
// lines of no known form, line endings) is written back byte for byte.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tav {

// Characters removed from both ends of names, values and section lines.
inline constexpr std::string_view kIniSpace = " \t\r\n\v\f";

std::string_view ini_trim(std::string_view text);
bool ini_names_equal(std::string_view a, std::string_view b);

// Name and value checks. Names are taken trimmed. A section name must not be empty and may not
// hold ']'; a key name must not be empty, hold '=' or start with '[' or ';'; no name or value may
// hold '\n', '\r' or '\0'. Anything else could be read back as another line or another key.
bool ini_valid_section_name(std::string_view section);
bool ini_valid_key_name(std::string_view key);
bool ini_valid_value(std::string_view value);
// One entry of a section block ("k=v", "k" or "=v"): no line breaks or '\0', and its trimmed
// text must not start with '[' or ';' (it would read back as a header or a comment).
bool ini_valid_entry(std::string_view entry);

// How a document's bytes are encoded; kept when the document is written back.
enum class IniEncoding { kUtf8, kUtf8Bom, kUtf16LeBom };

// One INI file's lines in memory. Not thread-safe; a value type.
class IniDocument {
 public:
  IniDocument() = default;

  // Any bytes parse: UTF-8 with or without a byte-order mark, or UTF-16LE after its mark. A line
  // ends at LF (CRLF counts as one ending); a lone CR stays part of its line.
  static IniDocument parse(std::string_view bytes);
  // The file's bytes in the document's encoding. New lines use the line ending of the first
  // line that has one ("\n" when none does).
  std::string serialize() const;

  IniEncoding encoding() const { return encoding_; }
  // True after an edit that changed a line.
  bool modified() const { return modified_; }

  // Queries. Names are trimmed and compared without case; an invalid name finds nothing.
  // The trimmed value of `key` in `section`; an entry without '=' has an empty value.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;
  bool has_section(std::string_view section) const;
  // The section's entry lines trimmed, as stored ("a=1", "b", "=c"); comments, blank lines and
  // lines before the first header are not entries.
  std::vector<std::string> section_entries(std::string_view section) const;
  // Section names in file order, each once (first spelling).
  std::vector<std::string> section_names() const;
  // Key names of the section in file order, each once (first spelling); "=c" has none.
  std::vector<std::string> key_names(std::string_view section) const;

  // Edits. Each checks its names (and values) first and returns EINVAL without touching the
  // document when one is invalid. Removing something absent is success without a change.
  // Writes the key's first line in the section as "key=value" (keeping the stored key's
  // spelling), or adds "key=value" after the section's last entry, or adds the section at the
  // end of the document.
  std::error_code set_value(std::string_view section, std::string_view key, std::string_view value);
  // Removes every entry of `key` in the section (so no older duplicate shows through).
  std::error_code remove_key(std::string_view section, std::string_view key);
  // Removes every section of that name: the header and all lines up to the next header.
  std::error_code remove_section(std::string_view section);
  // Replaces the section's entries with `entries`, written as given; its comments and blank
  // lines stay. The new entries go where its first entry was (after the header when it had
  // none). A missing section is added at the end, unless `entries` is empty.
  std::error_code replace_entries(std::string_view section, const std::vector<std::string>& entries);

 private:
  struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\n", "\r\n", or "" for a last line without one
  };
  struct Range {
    size_t header;  // index of the header line
    size_t end;     // one past the section's last line (next header or end of document)
  };

  std::optional<Range> find_section(std::string_view section) const;
  std::string_view line_ending() const;
  void insert_line(size_t index, std::string text);
  void append_section(std::string_view section, const std::vector<std::string>& entries);

  std::vector<Line> lines_;
  IniEncoding encoding_ = IniEncoding::kUtf8;
  bool modified_ = false;
};

// Reads the file at `path` into `doc` under a shared lock on its sidecar lock file (taken when
// the lock file exists or can be created; otherwise the file is read without it). A missing file
// reads as an empty document. Returns the errno value of a failure: EINVAL for an empty path,
// EISDIR for a directory, or what the system reported.
std::error_code read_ini_file(const std::string& path, IniDocument* doc);

// Applies `change` to the current contents of the file and saves the result atomically, holding
// an exclusive lock on the sidecar lock file "<dir>/.<name>.lock" throughout, so concurrent
// updates of different keys by other threads or processes are never lost. The new contents go to
// a temporary file in the same directory, which is synced and renamed over the file (keeping its
// permission bits and, where allowed, its owner); then the directory is synced. A crash leaves
// the old or the new file, never a mix. A symbolic link at `path` is followed and the file it
// names is replaced.
// Nothing is written when `change` fails (its code is returned) or leaves the document
// unmodified. A file or directory without any write permission bit is read-only here even for
// root (EACCES). On failure the old file is untouched and the errno value is returned.
std::error_code update_ini_file(const std::string& path,
                                const std::function<std::error_code(IniDocument&)>& change);

}  // namespace tav
