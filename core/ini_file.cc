// The INI store: parsing and editing a document line by line, and the locked atomic save.
#include "core/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <unordered_set>

#include "core/file_utils.h"
#include "core/text_convert.h"

namespace tav {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

std::error_code errno_code(int value) { return std::error_code(value, std::generic_category()); }
std::error_code last_errno() { return errno_code(errno); }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_line_break_or_nul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// What one line of a document is. Names and values are views into the line, trimmed.
enum class LineKind { kBlank, kComment, kHeader, kEntry, kOther };
struct LineInfo {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // header: the section name; entry: the key (before the first '=')
  std::string_view value;  // entry: the text after the first '=' (empty without one)
};

LineInfo classify(std::string_view line) {
  LineInfo info;
  std::string_view text = ini_trim(line);
  if (text.empty()) {
    info.kind = LineKind::kBlank;
  } else if (text.front() == ';') {
    info.kind = LineKind::kComment;
  } else if (text.front() == '[') {
    size_t close = text.find(']');
    // "[name" without its bracket is kept but neither starts a section nor is an entry.
    if (close != std::string_view::npos) {
      info.kind = LineKind::kHeader;
      info.name = ini_trim(text.substr(1, close - 1));
    }
  } else {
    info.kind = LineKind::kEntry;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
      info.name = text;
    } else {
      info.name = ini_trim(text.substr(0, eq));
      info.value = ini_trim(text.substr(eq + 1));
    }
  }
  return info;
}

// --- files ---------------------------------------------------------------------------------

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file the path names: symbolic links are followed when the file exists, so the lock and the
// rename act on the real file and a link stays a link.
std::string resolve(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  free(real);
  return resolved;
}

std::string lock_path_of(const std::string& file) { return dir_of(file) + "/." + base_of(file) + ".lock"; }

bool has_write_bits(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0; }

// Holds a flock on the sidecar lock file while it lives. The lock file is never removed:
// removing it would let two processes lock two different files of the same name. It is opened
// read-only (flock needs no more), so a lock file another user created still serves.
class FileLock {
 public:
  // Exclusive lock, creating the lock file when it is missing.
  std::error_code lock_exclusive(const std::string& lock_path) {
    if (std::error_code ec = open_lock_file(lock_path, /*may_create=*/true)) return ec;
    return do_flock(LOCK_EX);
  }
  // Shared lock when the lock file exists or may be created; otherwise the reader goes
  // unlocked, which is safe because saves replace the file by rename.
  void lock_shared_if_possible(const std::string& lock_path, bool may_create) {
    if (open_lock_file(lock_path, may_create) || do_flock(LOCK_SH)) fd_.reset();
  }

 private:
  std::error_code open_lock_file(const std::string& lock_path, bool may_create) {
    for (;;) {
      fd_.reset(open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (fd_.valid()) return {};
      if (errno != ENOENT || !may_create) return last_errno();
      fd_.reset(open(lock_path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
      if (fd_.valid()) return {};
      if (errno != EEXIST) return last_errno();  // EEXIST: another process created it first
    }
  }
  std::error_code do_flock(int operation) {
    while (flock(fd_.get(), operation) != 0) {
      if (errno != EINTR) return last_errno();
    }
    return {};
  }

  UniqueFd fd_;  // closing it releases the lock
};

// Reads the whole file. `exists` is false (and the result success) for a missing file.
std::error_code read_if_exists(const std::string& path, std::string* bytes, struct stat* st, bool* exists) {
  const int err = read_whole_file(path, bytes, st);
  *exists = err == 0;
  return err == ENOENT ? std::error_code() : errno_code(err);
}

}  // namespace

// --- names ---------------------------------------------------------------------------------

std::string_view ini_trim(std::string_view text) {
  size_t first = text.find_first_not_of(kIniSpace);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kIniSpace);
  return text.substr(first, last - first + 1);
}

bool ini_names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool ini_valid_section_name(std::string_view section) {
  std::string_view name = ini_trim(section);
  return !name.empty() && !has_line_break_or_nul(section) && name.find(']') == std::string_view::npos;
}

bool ini_valid_key_name(std::string_view key) {
  std::string_view name = ini_trim(key);
  return !name.empty() && !has_line_break_or_nul(key) && name.find('=') == std::string_view::npos &&
         name.front() != '[' && name.front() != ';';
}

bool ini_valid_value(std::string_view value) { return !has_line_break_or_nul(value); }

bool ini_valid_entry(std::string_view entry) {
  if (has_line_break_or_nul(entry)) return false;
  std::string_view text = ini_trim(entry);
  return text.empty() || (text.front() != '[' && text.front() != ';');
}

// --- document ------------------------------------------------------------------------------

IniDocument IniDocument::parse(std::string_view bytes) {
  IniDocument doc;
  std::string utf8;
  std::string_view text = bytes;
  if (bytes.starts_with(kUtf16LeBom)) {
    doc.encoding_ = IniEncoding::kUtf16LeBom;
    std::u16string units;
    units.reserve((bytes.size() - 2) / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    utf8 = utf16_to_utf8(units);
    text = utf8;
  } else if (bytes.starts_with(kUtf8Bom)) {
    doc.encoding_ = IniEncoding::kUtf8Bom;
    text.remove_prefix(kUtf8Bom.size());
  }
  while (!text.empty()) {
    size_t lf = text.find('\n');
    Line line;
    if (lf == std::string_view::npos) {
      line.text = std::string(text);
      text = {};
    } else {
      bool crlf = lf > 0 && text[lf - 1] == '\r';
      line.text = std::string(text.substr(0, crlf ? lf - 1 : lf));
      line.eol = crlf ? "\r\n" : "\n";
      text.remove_prefix(lf + 1);
    }
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::string IniDocument::serialize() const {
  std::string text;
  for (const Line& line : lines_) {
    text += line.text;
    text += line.eol;
  }
  switch (encoding_) {
    case IniEncoding::kUtf8:
      return text;
    case IniEncoding::kUtf8Bom:
      return std::string(kUtf8Bom) + text;
    case IniEncoding::kUtf16LeBom: {
      std::string bytes(kUtf16LeBom);
      append_utf16le(utf8_to_utf16(text), &bytes);
      return bytes;
    }
  }
  return text;
}

std::optional<IniDocument::Range> IniDocument::find_section(std::string_view section) const {
  if (!ini_valid_section_name(section)) return std::nullopt;
  std::string_view name = ini_trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    LineInfo info = classify(lines_[i].text);
    if (info.kind != LineKind::kHeader || !ini_names_equal(info.name, name)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && classify(lines_[end].text).kind != LineKind::kHeader) ++end;
    return Range{i, end};
  }
  return std::nullopt;
}

std::string_view IniDocument::line_ending() const {
  for (const Line& line : lines_) {
    if (!line.eol.empty()) return line.eol;
  }
  return "\n";
}

void IniDocument::insert_line(size_t index, std::string text) {
  std::string eol(line_ending());
  // The line before the new one must end, even if it was the file's unterminated last line.
  if (index > 0 && lines_[index - 1].eol.empty()) lines_[index - 1].eol = eol;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), Line{std::move(text), eol});
  modified_ = true;
}

void IniDocument::append_section(std::string_view section, const std::vector<std::string>& entries) {
  // A blank line keeps the new section apart from the text before it.
  if (!lines_.empty() && classify(lines_.back().text).kind != LineKind::kBlank)
    insert_line(lines_.size(), "");
  insert_line(lines_.size(), "[" + std::string(ini_trim(section)) + "]");
  for (const std::string& entry : entries) insert_line(lines_.size(), entry);
}

std::optional<std::string> IniDocument::value(std::string_view section, std::string_view key) const {
  if (!ini_valid_key_name(key)) return std::nullopt;
  std::optional<Range> range = find_section(section);
  if (!range) return std::nullopt;
  std::string_view name = ini_trim(key);
  for (size_t i = range->header + 1; i < range->end; ++i) {
    LineInfo info = classify(lines_[i].text);
    if (info.kind == LineKind::kEntry && ini_names_equal(info.name, name)) return std::string(info.value);
  }
  return std::nullopt;
}

bool IniDocument::has_section(std::string_view section) const { return find_section(section).has_value(); }

std::vector<std::string> IniDocument::section_entries(std::string_view section) const {
  std::vector<std::string> entries;
  std::optional<Range> range = find_section(section);
  if (!range) return entries;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    if (classify(lines_[i].text).kind == LineKind::kEntry) entries.emplace_back(ini_trim(lines_[i].text));
  }
  return entries;
}

namespace {

// Appends `name` unless an equal name (without case) is already listed.
void add_unique(std::vector<std::string>& names, std::unordered_set<std::string>& seen,
                std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = fold(c);
  if (seen.insert(std::move(folded)).second) names.emplace_back(name);
}

}  // namespace

std::vector<std::string> IniDocument::section_names() const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const Line& line : lines_) {
    LineInfo info = classify(line.text);
    if (info.kind == LineKind::kHeader && !info.name.empty()) add_unique(names, seen, info.name);
  }
  return names;
}

std::vector<std::string> IniDocument::key_names(std::string_view section) const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  std::optional<Range> range = find_section(section);
  if (!range) return names;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    LineInfo info = classify(lines_[i].text);
    if (info.kind == LineKind::kEntry && !info.name.empty()) add_unique(names, seen, info.name);
  }
  return names;
}

std::error_code IniDocument::set_value(std::string_view section, std::string_view key,
                                       std::string_view value) {
  if (!ini_valid_section_name(section) || !ini_valid_key_name(key) || !ini_valid_value(value))
    return errno_code(EINVAL);
  std::string_view name = ini_trim(key);
  std::optional<Range> range = find_section(section);
  if (!range) {
    append_section(section, {std::string(name) + "=" + std::string(value)});
    return {};
  }
  size_t insert_at = range->header + 1;
  for (size_t i = range->header + 1; i < range->end; ++i) {
    LineInfo info = classify(lines_[i].text);
    if (info.kind != LineKind::kEntry) continue;
    if (ini_names_equal(info.name, name)) {
      std::string text = std::string(info.name) + "=" + std::string(value);
      if (text != lines_[i].text) {
        lines_[i].text = std::move(text);
        modified_ = true;
      }
      return {};
    }
    insert_at = i + 1;
  }
  insert_line(insert_at, std::string(name) + "=" + std::string(value));
  return {};
}

std::error_code IniDocument::remove_key(std::string_view section, std::string_view key) {
  if (!ini_valid_section_name(section) || !ini_valid_key_name(key)) return errno_code(EINVAL);
  std::optional<Range> range = find_section(section);
  if (!range) return {};
  std::string_view name = ini_trim(key);
  for (size_t i = range->end; i-- > range->header + 1;) {
    LineInfo info = classify(lines_[i].text);
    if (info.kind == LineKind::kEntry && ini_names_equal(info.name, name)) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      modified_ = true;
    }
  }
  return {};
}

std::error_code IniDocument::remove_section(std::string_view section) {
  if (!ini_valid_section_name(section)) return errno_code(EINVAL);
  while (std::optional<Range> range = find_section(section)) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
    modified_ = true;
  }
  return {};
}

std::error_code IniDocument::replace_entries(std::string_view section,
                                             const std::vector<std::string>& entries) {
  if (!ini_valid_section_name(section)) return errno_code(EINVAL);
  for (const std::string& entry : entries) {
    if (!ini_valid_entry(entry)) return errno_code(EINVAL);
  }
  std::optional<Range> range = find_section(section);
  if (!range) {
    if (!entries.empty()) append_section(section, entries);
    return {};
  }
  size_t insert_at = range->header + 1;
  for (size_t i = range->end; i-- > range->header + 1;) {
    if (classify(lines_[i].text).kind != LineKind::kEntry) continue;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    modified_ = true;
    insert_at = i;  // walking backwards, the last one erased was the first entry
  }
  for (const std::string& entry : entries) insert_line(insert_at++, entry);
  return {};
}

// --- file operations -----------------------------------------------------------------------

std::error_code read_ini_file(const std::string& path, IniDocument* doc) {
  if (path.empty()) return errno_code(EINVAL);
  try {
    std::string file = resolve(path);
    std::string dir = dir_of(file);
    struct stat dir_st;
    bool may_create = stat(dir.c_str(), &dir_st) == 0 && has_write_bits(dir_st.st_mode);
    FileLock lock;
    lock.lock_shared_if_possible(lock_path_of(file), may_create);
    std::string bytes;
    struct stat st;
    bool exists = false;
    if (std::error_code ec = read_if_exists(file, &bytes, &st, &exists)) return ec;
    *doc = IniDocument::parse(bytes);
    return {};
  } catch (const std::bad_alloc&) {
    return errno_code(ENOMEM);
  }
}

std::error_code update_ini_file(const std::string& path,
                                const std::function<std::error_code(IniDocument&)>& change) {
  if (path.empty()) return errno_code(EINVAL);
  try {
    std::string file = resolve(path);
    std::string dir = dir_of(file);
    // Root passes every permission check, so read-only bits are honoured here by hand: a file or
    // directory that nobody may write is left alone.
    struct stat dir_st;
    if (stat(dir.c_str(), &dir_st) != 0) return last_errno();
    if (!S_ISDIR(dir_st.st_mode)) return errno_code(ENOTDIR);
    if (!has_write_bits(dir_st.st_mode)) return errno_code(EACCES);

    FileLock lock;
    if (std::error_code ec = lock.lock_exclusive(lock_path_of(file))) return ec;
    std::string bytes;
    struct stat st;
    bool exists = false;
    if (std::error_code ec = read_if_exists(file, &bytes, &st, &exists)) return ec;
    if (exists) {
      if (!has_write_bits(st.st_mode)) return errno_code(EACCES);
      if (access(file.c_str(), W_OK) != 0) return last_errno();
    }
    IniDocument doc = IniDocument::parse(bytes);
    if (std::error_code ec = change(doc)) return ec;
    if (!doc.modified()) return {};
    return errno_code(write_file_atomically(file, doc.serialize()));
  } catch (const std::bad_alloc&) {
    return errno_code(ENOMEM);
  }
}

}  // namespace tav
