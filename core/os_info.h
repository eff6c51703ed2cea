// Operating-system, processor and memory queries, over a replaceable provider of plain facts.
// Core library (TavPub). The real provider reads uname, /etc/os-release, the scheduler's
// affinity, sysfs CPU topology, /proc/meminfo and the process's cgroup v2 memory limit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tav {

// Plain facts about the machine. Implementations must be safe to call from any thread and must
// not call the exported queries below.
class OsInfo {
 public:
  virtual ~OsInfo() = default;
  // uname's release ("6.1.0-18-amd64") and machine ("x86_64"); empty when unknown.
  virtual std::string kernel_release() = 0;
  virtual std::string machine() = 0;
  // The distribution's PRETTY_NAME ("Debian GNU/Linux 12 (bookworm)"); empty when unknown.
  virtual std::string pretty_name() = 0;
  // Logical processors this process may run on (at least 1).
  virtual int logical_processors() = 0;
  // Physical cores among those processors (at least 1).
  virtual int physical_cores() = 0;
  // Memory available to this process without swapping, in bytes.
  virtual uint64_t available_memory_bytes() = 0;
};

// Replaces the provider behind the exported queries and drops every cached fact; null puts the
// real provider back. `info` is not owned and must outlive its use. Meant for tests: do not call
// it while another thread runs a query.
void set_os_info(OsInfo* info);

// ---- Readers behind the real provider ----------------------------------------------------------
// Each takes the file text or a root directory ("/" on a live system, a fake tree in tests), so
// every path below is read as root + path.

// PRETTY_NAME from os-release text (quotes and backslash escapes removed), else NAME, else empty.
std::string os_release_pretty_name(std::string_view text);

// Available memory in bytes from /proc/meminfo text: MemAvailable; on kernels without it,
// MemFree + Buffers + Cached - Shmem. Nullopt when the fields are missing.
std::optional<uint64_t> meminfo_available_bytes(std::string_view text);

// Bytes this process's cgroup v2 hierarchy still lets it use: the lowest memory.max minus
// memory.current over its cgroup and every ancestor that sets a limit. Reads
// proc/self/cgroup and proc/self/mountinfo (to find the cgroup2 mount) under `root`. Nullopt
// when no limit applies or cgroup v2 is not in use.
std::optional<uint64_t> cgroup_memory_headroom_bytes(const std::string& root);

// Physical cores among `cpus`: distinct cores by package, die, cluster and core id from
// sys/devices/system/cpu/cpuN/topology/ under `root` (ids a file system lacks count as equal).
// 0 when the topology of any of them cannot be read.
int count_physical_cores(const std::string& root, std::span<const int> cpus);

// The CPU numbers this process may run on (sched_getaffinity); else 0 .. online count - 1.
std::vector<int> usable_cpus();

// The real provider; `root` as for the readers. Distribution name from etc/os-release, else
// usr/lib/os-release.
class SystemOsInfo : public OsInfo {
 public:
  explicit SystemOsInfo(std::string root = "/");
  std::string kernel_release() override;
  std::string machine() override;
  std::string pretty_name() override;
  int logical_processors() override;
  int physical_cores() override;
  uint64_t available_memory_bytes() override;

 private:
  std::string root_;  // ends in '/'
};

}  // namespace tav

// All queries below use the current provider. Operating-system and processor facts are read
// once and cached (safe for concurrent use); free memory is read on every call.

// Windows release tests: always 0 on Linux.
int TavOsIs2000();
int TavOsIsXP();
int TavOsIs2003();
int TavOsIsVista();
int TavOsIsWin7();
// 1 when the machine is x86_64 (TavOsIsAmd64), ia64 (TavOsIsIA64), or either (TavOsIsWin64).
int TavOsIsAmd64();
int TavOsIsIA64();
int TavOsIsWin64();
// Kernels from 3.10 on are supported (TavOsIsSupport 1); older ones are not (TavOsIsNotSupport
// 1). With a release that cannot be read both are 0.
int TavOsIsNotSupport();
int TavOsIsSupport();
// Writes "<PRETTY_NAME> (Kernel <release>)" into `buffer` of `size` bytes, cut to size - 1 bytes
// on a UTF-8 character boundary and zero-terminated; returns 1. When neither fact is known,
// writes "unknown operating system" the same way and returns 0. A null buffer or a size of 0 or
// less writes nothing and returns 0.
int TavGetOsType(char* buffer, int size);
// 1 when the machine this process runs on is 64-bit (x86_64, aarch64, ppc64le, s390x,
// riscv64, ...).
int TavIs64BitOS();
// Physical cores and logical processors usable by this process (at least 1).
int TavGetProcessorCoreCount();
int TavGetLogicalProcessorCoreCount();
// Memory available now, in MiB (bytes >> 20), bounded by this process's cgroup limit.
uint64_t TavGetFreePhyMem();
