// Operating-system, processor and memory facts read from uname, os-release, sysfs, procfs and
// cgroup v2, cached behind the exported queries. Core library (TavPub).
#include "core/os_info.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "core/file_utils.h"
#include "core/text_convert.h"

namespace tav {
namespace {

// Files read here are small (procfs reports no size, so read to the end); anything past 1 MiB is
// not something these readers understand.
constexpr size_t kMaxFactFileBytes = 1 << 20;

std::optional<std::string> read_small_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (text.size() < kMaxFactFileBytes) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

template <typename Int>
bool parse_int(std::string_view text, Int* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end && !text.empty();
}

std::optional<uint64_t> read_u64_file(const std::string& path) {
  const std::optional<std::string> text = read_small_file(path);
  uint64_t value = 0;
  if (!text || !parse_int(trim(*text), &value)) return std::nullopt;
  return value;
}

std::optional<long> read_long_file(const std::string& path) {
  const std::optional<std::string> text = read_small_file(path);
  long value = 0;
  if (!text || !parse_int(trim(*text), &value)) return std::nullopt;
  return value;
}

// Calls `fn(line)` for each line of `text`.
template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    fn(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// Shell-style value of an os-release assignment: quotes removed, backslash escapes resolved,
// ending at unquoted white space or a comment.
std::string unquote_value(std::string_view value) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quote == '\'') {
      if (c == '\'') quote = 0; else out += c;
    } else if (c == '\\' && i + 1 < value.size()) {
      out += value[++i];
    } else if (quote == '"') {
      if (c == '"') quote = 0; else out += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ' ' || c == '\t' || c == '#') {
      break;
    } else {
      out += c;
    }
  }
  return out;
}

// Mount-point text of /proc/self/mountinfo with its octal escapes (\040 for a blank) decoded.
std::string unescape_mount_path(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t start = line.find_first_not_of(' ', pos);
    if (start == std::string_view::npos) break;
    const size_t end = line.find(' ', start);
    fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    pos = end == std::string_view::npos ? line.size() : end;
  }
  return fields;
}

struct CgroupMount {
  std::string root;         // the part of the hierarchy mounted there ("/" normally)
  std::string mount_point;  // where it is mounted
};

// The cgroup2 mount from mountinfo text; nullopt when there is none.
std::optional<CgroupMount> find_cgroup2_mount(std::string_view mountinfo) {
  std::optional<CgroupMount> found;
  for_each_line(mountinfo, [&](std::string_view line) {
    if (found) return;
    // id parent major:minor root mount-point options [optional fields] - fstype source options
    const std::vector<std::string_view> fields = split_fields(line);
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size() || fields[dash + 1] != "cgroup2") return;
    found = CgroupMount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
  });
  return found;
}

// True when `path` (absolute) has a "." or ".." component.
bool has_dot_component(std::string_view path) {
  bool found = false;
  size_t pos = 0;
  while (pos <= path.size() && !found) {
    const size_t end = std::min(path.find('/', pos), path.size());
    const std::string_view part = path.substr(pos, end - pos);
    found = part == "." || part == "..";
    pos = end + 1;
  }
  return found;
}

std::string with_slash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// Machine names of 64-bit architectures; variants ("ppc64le", "aarch64_be", "mips64el") match by
// prefix.
constexpr std::array<std::string_view, 12> k64BitMachines = {
    "x86_64", "aarch64", "arm64",   "ppc64",   "s390x", "riscv64",
    "mips64", "loongarch64", "sparc64", "ia64", "alpha", "parisc64"};

}  // namespace

std::string os_release_pretty_name(std::string_view text) {
  std::string pretty, name;
  for_each_line(text, [&](std::string_view line) {
    line = trim(line);
    const size_t eq = line.find('=');
    if (line.empty() || line.front() == '#' || eq == std::string_view::npos) return;
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    if (key == "PRETTY_NAME") pretty = unquote_value(value);
    if (key == "NAME") name = unquote_value(value);
  });
  return pretty.empty() ? name : pretty;
}

std::optional<uint64_t> meminfo_available_bytes(std::string_view text) {
  // Values are in kB: "MemAvailable:    1234567 kB".
  std::optional<uint64_t> available, free_kb;
  uint64_t buffers_kb = 0, cached_kb = 0, shmem_kb = 0;
  for_each_line(text, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = trim(line.substr(colon + 1));
    if (value.ends_with(" kB")) value = trim(value.substr(0, value.size() - 3));
    uint64_t kb = 0;
    if (!parse_int(value, &kb)) return;
    if (key == "MemAvailable") available = kb;
    else if (key == "MemFree") free_kb = kb;
    else if (key == "Buffers") buffers_kb = kb;
    else if (key == "Cached") cached_kb = kb;
    else if (key == "Shmem") shmem_kb = kb;
  });
  if (available) return *available * 1024;
  if (!free_kb) return std::nullopt;
  // Kernels before 3.14 have no estimate: free memory plus the page cache, less the shared
  // memory that sits in the cache but cannot be dropped.
  const uint64_t cache_kb = cached_kb > shmem_kb ? cached_kb - shmem_kb : 0;
  return (*free_kb + buffers_kb + cache_kb) * 1024;
}

std::optional<uint64_t> cgroup_memory_headroom_bytes(const std::string& root) {
  const std::string base = with_slash(root);
  const std::optional<std::string> cgroups = read_small_file(base + "proc/self/cgroup");
  if (!cgroups) return std::nullopt;
  std::optional<std::string> own;
  for_each_line(*cgroups, [&](std::string_view line) {
    if (line.starts_with("0::")) own = std::string(line.substr(3));
  });
  if (!own || own->empty() || own->front() != '/' || has_dot_component(*own)) return std::nullopt;

  std::optional<CgroupMount> mount;
  if (const std::optional<std::string> mountinfo = read_small_file(base + "proc/self/mountinfo")) {
    mount = find_cgroup2_mount(*mountinfo);
  } else {
    mount = CgroupMount{"/", "/sys/fs/cgroup"};
  }
  if (!mount) return std::nullopt;
  // The process's cgroup must lie inside what is mounted; the rest is the path below the mount.
  std::string relative;
  if (mount->root == "/") {
    relative = *own;
  } else if (*own == mount->root || own->starts_with(with_slash(mount->root))) {
    relative = own->substr(mount->root.size());
  } else {
    return std::nullopt;
  }

  std::string top = base + mount->mount_point;  // a doubled '/' is harmless in a path
  while (!top.empty() && top.back() == '/') top.pop_back();
  std::string dir = top + relative;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();

  // Every level limits the ones below it, so the smallest room left anywhere up the tree counts.
  std::optional<uint64_t> headroom;
  for (;;) {
    const std::optional<std::string> max_text = read_small_file(dir + "/memory.max");
    uint64_t limit = 0;
    if (max_text && parse_int(trim(*max_text), &limit)) {
      const uint64_t used = read_u64_file(dir + "/memory.current").value_or(0);
      const uint64_t room = limit > used ? limit - used : 0;
      if (!headroom || room < *headroom) headroom = room;
    }
    if (dir.size() <= top.size()) break;
    dir.resize(dir.rfind('/'));
    if (dir.size() < top.size()) break;
  }
  return headroom;
}

int count_physical_cores(const std::string& root, std::span<const int> cpus) {
  const std::string base = with_slash(root) + "sys/devices/system/cpu/cpu";
  // Threads of one core share all of these ids; ids a kernel does not provide read as -1.
  std::set<std::array<long, 4>> cores;
  for (const int cpu : cpus) {
    const std::string dir = base + std::to_string(cpu) + "/topology/";
    const std::optional<long> package = read_long_file(dir + "physical_package_id");
    const std::optional<long> core = read_long_file(dir + "core_id");
    if (!package || !core || *core < 0) return 0;
    cores.insert({*package, read_long_file(dir + "die_id").value_or(-1),
                  read_long_file(dir + "cluster_id").value_or(-1), *core});
  }
  return static_cast<int>(cores.size());
}

std::vector<int> usable_cpus() {
  std::vector<int> cpus;
  // The affinity call fails with EINVAL when the set is smaller than the kernel's CPU count.
  for (int capacity = 1024; capacity <= (1 << 20); capacity *= 2) {
    auto free_set = [](cpu_set_t* s) { CPU_FREE(s); };
    std::unique_ptr<cpu_set_t, decltype(free_set)> set(CPU_ALLOC(capacity), free_set);
    if (!set) break;
    const size_t bytes = CPU_ALLOC_SIZE(capacity);
    CPU_ZERO_S(bytes, set.get());
    if (::sched_getaffinity(0, bytes, set.get()) == 0) {
      for (int cpu = 0; cpu < capacity; ++cpu) {
        if (CPU_ISSET_S(cpu, bytes, set.get())) cpus.push_back(cpu);
      }
      if (!cpus.empty()) return cpus;
      break;
    }
    if (errno != EINVAL) break;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  for (long cpu = 0; cpu < std::max(online, 1L); ++cpu) cpus.push_back(static_cast<int>(cpu));
  return cpus;
}

SystemOsInfo::SystemOsInfo(std::string root) : root_(with_slash(std::move(root))) {}

std::string SystemOsInfo::kernel_release() {
  struct utsname names;
  return ::uname(&names) == 0 ? std::string(names.release) : std::string();
}

std::string SystemOsInfo::machine() {
  struct utsname names;
  return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

std::string SystemOsInfo::pretty_name() {
  std::optional<std::string> text = read_small_file(root_ + "etc/os-release");
  if (!text) text = read_small_file(root_ + "usr/lib/os-release");
  return text ? os_release_pretty_name(*text) : std::string();
}

int SystemOsInfo::logical_processors() { return static_cast<int>(std::max<size_t>(usable_cpus().size(), 1)); }

int SystemOsInfo::physical_cores() {
  const std::vector<int> cpus = usable_cpus();
  const int cores = count_physical_cores(root_, cpus);
  return cores > 0 ? cores : static_cast<int>(std::max<size_t>(cpus.size(), 1));
}

uint64_t SystemOsInfo::available_memory_bytes() {
  std::optional<uint64_t> bytes;
  if (const std::optional<std::string> text = read_small_file(root_ + "proc/meminfo")) {
    bytes = meminfo_available_bytes(*text);
  }
  if (!bytes) {
    struct sysinfo info;
    bytes = 0;
    if (::sysinfo(&info) == 0) bytes = (static_cast<uint64_t>(info.freeram) + info.bufferram) * info.mem_unit;
  }
  const std::optional<uint64_t> headroom = cgroup_memory_headroom_bytes(root_);
  return headroom && *headroom < *bytes ? *headroom : *bytes;
}

namespace {

// Facts read once from the provider.
struct OsFacts {
  std::string release;
  std::string machine;
  std::string pretty;
  int logical = 1;
  int cores = 1;
};

// g_provider and g_facts are guarded by g_os_mu. The provider is called with the mutex held
// while the facts are read, which is why a provider must not call back into these queries.
std::mutex g_os_mu;
OsInfo* g_provider = nullptr;
std::optional<OsFacts> g_facts;

OsInfo& current_provider_locked() {
  static SystemOsInfo system_info;
  return g_provider != nullptr ? *g_provider : system_info;
}

OsFacts facts() {
  std::lock_guard<std::mutex> lock(g_os_mu);
  if (!g_facts) {
    OsInfo& provider = current_provider_locked();
    OsFacts f;
    f.release = provider.kernel_release();
    f.machine = provider.machine();
    f.pretty = provider.pretty_name();
    f.logical = std::max(provider.logical_processors(), 1);
    f.cores = std::max(provider.physical_cores(), 1);
    g_facts = std::move(f);
  }
  return *g_facts;
}

// Runs an exported query; a failed allocation gives `fallback` instead of an exception.
template <typename Result, typename Body>
Result guarded(Result fallback, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fallback;
  }
}

// -1 when the release does not start with "<major>.<minor>", 1 from 3.10 on, else 0.
int kernel_supported(std::string_view release) {
  const char* const end = release.data() + release.size();
  unsigned major = 0, minor = 0;
  const auto [after_major, major_error] = std::from_chars(release.data(), end, major);
  if (major_error != std::errc() || after_major == end || *after_major != '.') return -1;
  if (std::from_chars(after_major + 1, end, minor).ec != std::errc()) return -1;
  return major > 3 || (major == 3 && minor >= 10) ? 1 : 0;
}

std::string os_type_text(const OsFacts& f) {
  if (f.pretty.empty() && f.release.empty()) return std::string();
  const std::string name = f.pretty.empty() ? std::string("Linux") : f.pretty;
  return f.release.empty() ? name : name + " (Kernel " + f.release + ")";
}

// Copies `text` into `buffer`, cut to size - 1 bytes without splitting a UTF-8 sequence (an
// ill-formed one counts as a unit), and zero-terminates it.
void copy_cut_utf8(std::string_view text, char* buffer, int size) {
  const size_t room = static_cast<size_t>(size) - 1;
  size_t cut = 0;
  while (cut < text.size()) {
    size_t length = 1;
    decode_utf8_char(text.substr(cut), &length);
    if (cut + length > room) break;
    cut += length;
  }
  std::memcpy(buffer, text.data(), cut);
  buffer[cut] = '\0';
}

}  // namespace

void set_os_info(OsInfo* info) {
  std::lock_guard<std::mutex> lock(g_os_mu);
  g_provider = info;
  g_facts.reset();
}

}  // namespace tav

int TavOsIs2000() { return 0; }
int TavOsIsXP() { return 0; }
int TavOsIs2003() { return 0; }
int TavOsIsVista() { return 0; }
int TavOsIsWin7() { return 0; }

int TavOsIsAmd64() {
  return tav::guarded(0, [] { return tav::facts().machine == "x86_64" ? 1 : 0; });
}

int TavOsIsIA64() {
  return tav::guarded(0, [] { return tav::facts().machine == "ia64" ? 1 : 0; });
}

int TavOsIsWin64() { return TavOsIsAmd64() || TavOsIsIA64() ? 1 : 0; }

int TavOsIsNotSupport() {
  return tav::guarded(0, [] { return tav::kernel_supported(tav::facts().release) == 0 ? 1 : 0; });
}

int TavOsIsSupport() {
  return tav::guarded(0, [] { return tav::kernel_supported(tav::facts().release) == 1 ? 1 : 0; });
}

int TavGetOsType(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  return tav::guarded(0, [&] {
    const std::string text = tav::os_type_text(tav::facts());
    tav::copy_cut_utf8(text.empty() ? "unknown operating system" : text, buffer, size);
    return text.empty() ? 0 : 1;
  });
}

int TavIs64BitOS() {
  return tav::guarded(0, [] {
    const std::string machine = tav::facts().machine;
    for (const std::string_view prefix : tav::k64BitMachines) {
      if (machine.starts_with(prefix)) return 1;
    }
    return 0;
  });
}

int TavGetProcessorCoreCount() {
  return tav::guarded(1, [] { return tav::facts().cores; });
}

int TavGetLogicalProcessorCoreCount() {
  return tav::guarded(1, [] { return tav::facts().logical; });
}

uint64_t TavGetFreePhyMem() {
  return tav::guarded<uint64_t>(0, [] {
    tav::OsInfo* provider;
    {
      std::lock_guard<std::mutex> lock(tav::g_os_mu);
      provider = &tav::current_provider_locked();
    }
    return provider->available_memory_bytes() >> 20;
  });
}
