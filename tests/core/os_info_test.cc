// Tests of the operating-system, processor and memory facts: the readers over fake procfs,
// sysfs and cgroup trees, and the exported queries over a scripted provider.
#include "core/os_info.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/file_utils_test_support.h"

namespace {

using tav::sysutil_test::TempDir;

constexpr uint64_t kMiB = 1 << 20;

// A fake root directory: files written at paths relative to it, parents created.
class FakeRoot {
 public:
  bool ok() const { return dir_.ok(); }
  const std::string& path() const { return dir_.path(); }
  void write(const std::string& relative, const std::string& text) {
    const std::filesystem::path file = dir_.file(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

 private:
  TempDir dir_;
};

TEST(OsReleaseTest, PrettyNameUnquotedElseName) {
  struct Case { const char* text; const char* want; } cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "Debian GNU/Linux 12 (bookworm)"},
      {"PRETTY_NAME='Single quoted \\n'\n", "Single quoted \\n"},
      {"PRETTY_NAME=\"Say \\\"hi\\\" \\$x\"", "Say \"hi\" $x"},
      {"PRETTY_NAME=Plain # comment\n", "Plain"},
      {"# PRETTY_NAME=\"commented out\"\nNAME=Fedora\n", "Fedora"},
      {"  PRETTY_NAME = \"Spaced\"  \r\n", "Spaced"},
      {"ID=debian\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(tav::os_release_pretty_name(c.text), c.want);
  }
}

TEST(MeminfoTest, AvailableMemoryWithAndWithoutTheKernelsEstimate) {
  struct Case { const char* name; const char* text; std::optional<uint64_t> want; } cases[] = {
      {"estimate", "MemTotal: 8000000 kB\nMemFree: 100 kB\nMemAvailable: 2048000 kB\nCached: 5 kB\n", 2048000ull * 1024},
      {"no estimate", "MemTotal: 8000 kB\nMemFree: 1000 kB\nBuffers: 200 kB\nCached: 3000 kB\nShmem: 500 kB\n",
       (1000ull + 200 + 3000 - 500) * 1024},
      {"shared memory larger than the cache", "MemFree: 1000 kB\nCached: 10 kB\nShmem: 500 kB\n", 1000ull * 1024},
      {"garbage lines skipped", "HugePages_Total: 0\nnonsense\nMemAvailable: x kB\nMemFree: 64 kB\n", 64ull * 1024},
      {"nothing usable", "MemTotal: 8000 kB\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::meminfo_available_bytes(c.text), c.want);
  }
}

// A cgroup v2 tree: the process in /user.slice/app.scope, the hierarchy mounted at
// /sys/fs/cgroup (or where `mount_line` says).
class CgroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    root_.write("proc/self/cgroup", "1:name=systemd:/user.slice/app.scope\n0::/user.slice/app.scope\n");
    mount("/sys/fs/cgroup");
  }
  void mount(const std::string& mount_point) {
    root_.write("proc/self/mountinfo",
                "22 1 0:21 / /proc rw - proc proc rw\n"
                "30 22 0:26 / " + mount_point + " rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
  }
  void limit(const std::string& group, const std::string& max, const std::string& current) {
    root_.write("sys/fs/cgroup" + group + "/memory.max", max + "\n");
    root_.write("sys/fs/cgroup" + group + "/memory.current", current + "\n");
  }

  FakeRoot root_;
};

TEST_F(CgroupTest, HeadroomIsTheLowestRoomUpTheTree) {
  struct Case {
    const char* name;
    const char* scope_max;
    const char* slice_max;
    std::optional<uint64_t> want;
  } cases[] = {
      {"no limit anywhere", "max", "max", std::nullopt},
      {"own limit", "1073741824", "max", 1073741824ull - 268435456},
      {"parent limit lower", "1073741824", "536870912", 536870912ull - 300000000},
      {"usage above the limit", "100000000", "max", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    limit("/user.slice/app.scope", c.scope_max, "268435456");
    limit("/user.slice", c.slice_max, "300000000");
    EXPECT_EQ(tav::cgroup_memory_headroom_bytes(root_.path()), c.want);
  }
}

TEST_F(CgroupTest, MountPointIsTakenFromMountinfo) {
  mount("/run/cg\\040two");  // a blank in the mount point, escaped as mountinfo does
  root_.write("run/cg two/user.slice/app.scope/memory.max", "2097152\n");
  root_.write("run/cg two/user.slice/app.scope/memory.current", "1048576\n");
  EXPECT_EQ(tav::cgroup_memory_headroom_bytes(root_.path()), 1048576u);
}

TEST_F(CgroupTest, NoCgroup2MountOrEscapingPathMeansNoLimit) {
  limit("/user.slice/app.scope", "1048576", "0");
  root_.write("proc/self/mountinfo", "30 22 0:26 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
  EXPECT_EQ(tav::cgroup_memory_headroom_bytes(root_.path()), std::nullopt);
  mount("/sys/fs/cgroup");
  root_.write("proc/self/cgroup", "0::/../../etc\n");
  EXPECT_EQ(tav::cgroup_memory_headroom_bytes(root_.path()), std::nullopt);
}

TEST_F(CgroupTest, SystemProviderTakesTheLowerOfMeminfoAndTheCgroup) {
  root_.write("proc/meminfo", "MemAvailable: 4194304 kB\n");  // 4 GiB
  tav::SystemOsInfo info(root_.path());
  limit("/user.slice/app.scope", "max", "0");
  EXPECT_EQ(info.available_memory_bytes(), 4096 * kMiB);
  limit("/user.slice/app.scope", std::to_string(1024 * kMiB), std::to_string(24 * kMiB));
  EXPECT_EQ(info.available_memory_bytes(), 1000 * kMiB);
}

// sysfs topology of 2 packages x 2 cores x 2 threads: cpuN is thread N%2 of core (N/2)%2 in
// package N/4, and its core ids repeat in each package.
class TopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    for (int cpu = 0; cpu < 8; ++cpu) {
      const std::string dir = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
      root_.write(dir + "physical_package_id", std::to_string(cpu / 4) + "\n");
      root_.write(dir + "core_id", std::to_string((cpu / 2) % 2) + "\n");
    }
  }
  int cores(std::vector<int> cpus) { return tav::count_physical_cores(root_.path(), cpus); }

  FakeRoot root_;
};

TEST_F(TopologyTest, CountsDistinctCoresAmongTheUsableCpus) {
  struct Case { const char* name; std::vector<int> cpus; int want; } cases[] = {
      {"all", {0, 1, 2, 3, 4, 5, 6, 7}, 4},
      {"two threads of one core", {0, 1}, 1},
      {"two cores of one package", {0, 2}, 2},
      {"same core id in two packages", {0, 4}, 2},
      {"one thread of every core", {1, 2, 5, 6}, 4},
      {"cpu without topology", {0, 9}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cores(c.cpus), c.want);
  }
}

TEST_F(TopologyTest, DiesWithTheSameCoreIdsAreDifferentCores) {
  // Package 0 split into two dies whose core ids both start at 0.
  for (int cpu = 0; cpu < 4; ++cpu) {
    root_.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/die_id", std::to_string(cpu / 2) + "\n");
    root_.write("sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/core_id", "0\n");
  }
  EXPECT_EQ(cores({0, 1, 2, 3}), 2);
}

TEST(UsableCpusTest, FollowsTheAffinityOfTheCaller) {
  const std::vector<int> all = tav::usable_cpus();
  ASSERT_FALSE(all.empty());
  // Affinity is per thread: narrow a helper thread's to one CPU and read it there.
  std::vector<int> seen;
  int logical = 0;
  std::thread helper([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(all.back(), &one);
    if (::sched_setaffinity(0, sizeof one, &one) != 0) return;
    seen = tav::usable_cpus();
    logical = tav::SystemOsInfo().logical_processors();
  });
  helper.join();
  EXPECT_EQ(seen, std::vector<int>{all.back()});
  EXPECT_EQ(logical, 1);
}

TEST(SystemOsInfoTest, ReadsThisMachine) {
  tav::SystemOsInfo info;
  EXPECT_FALSE(info.kernel_release().empty());
  EXPECT_FALSE(info.machine().empty());
  const int logical = info.logical_processors();
  EXPECT_GE(logical, 1);
  EXPECT_GE(info.physical_cores(), 1);
  EXPECT_LE(info.physical_cores(), logical);
  EXPECT_GT(info.available_memory_bytes(), 0u);
}

// A scripted provider that counts how often each fact is read.
class FakeOsInfo : public tav::OsInfo {
 public:
  std::string kernel_release() override { ++reads; return release; }
  std::string machine() override { ++reads; return arch; }
  std::string pretty_name() override { ++reads; return pretty; }
  int logical_processors() override { ++reads; return logical; }
  int physical_cores() override { ++reads; return cores; }
  uint64_t available_memory_bytes() override { return memory; }

  std::string release = "6.1.0-18-amd64";
  std::string arch = "x86_64";
  std::string pretty = "Debian GNU/Linux 12 (bookworm)";
  int logical = 8;
  int cores = 4;
  uint64_t memory = 3 * kMiB + 12345;
  int reads = 0;
};

class OsQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override { tav::set_os_info(&fake_); }
  void TearDown() override { tav::set_os_info(nullptr); }
  // Swapping the provider in again drops the cache, so a changed fact is seen.
  void reload() { tav::set_os_info(&fake_); }

  FakeOsInfo fake_;
};

TEST_F(OsQueriesTest, ArchitectureFlags) {
  struct Case { const char* machine; int amd64, ia64, win64, is64; } cases[] = {
      {"x86_64", 1, 0, 1, 1},   {"ia64", 0, 1, 1, 1},    {"aarch64", 0, 0, 0, 1},
      {"ppc64le", 0, 0, 0, 1},  {"s390x", 0, 0, 0, 1},   {"riscv64", 0, 0, 0, 1},
      {"i686", 0, 0, 0, 0},     {"armv7l", 0, 0, 0, 0},  {"", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machine);
    fake_.arch = c.machine;
    reload();
    EXPECT_EQ(TavOsIsAmd64(), c.amd64);
    EXPECT_EQ(TavOsIsIA64(), c.ia64);
    EXPECT_EQ(TavOsIsWin64(), c.win64);
    EXPECT_EQ(TavIs64BitOS(), c.is64);
    EXPECT_EQ(TavOsIs2000() + TavOsIsXP() + TavOsIs2003() + TavOsIsVista() + TavOsIsWin7(), 0);
  }
}

TEST_F(OsQueriesTest, KernelsFrom310AreSupported) {
  struct Case { const char* release; int supported, not_supported; } cases[] = {
      {"6.1.0-18-amd64", 1, 0},
      {"3.10.0-1160.el7.x86_64", 1, 0},
      {"4.0", 1, 0},
      {"3.9.11", 0, 1},
      {"2.6.32-754.el6", 0, 1},
      {"", 0, 0},
      {"garbage", 0, 0},
      {"5", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.release);
    fake_.release = c.release;
    reload();
    EXPECT_EQ(TavOsIsSupport(), c.supported);
    EXPECT_EQ(TavOsIsNotSupport(), c.not_supported);
  }
}

TEST_F(OsQueriesTest, OsTypeTextIsCutOnACharacterBoundaryAndAlwaysTerminated) {
  struct Case {
    const char* pretty;
    const char* release;
    int size;
    const char* want;
    int result;
  } cases[] = {
      {"Debian GNU/Linux 12 (bookworm)", "6.1.0", 256, "Debian GNU/Linux 12 (bookworm) (Kernel 6.1.0)", 1},
      {"", "6.1.0", 256, "Linux (Kernel 6.1.0)", 1},
      {"Debian", "", 256, "Debian", 1},
      {"", "", 256, "unknown operating system", 0},
      {"", "", 8, "unknown", 0},
      {"S\xC3\xA9", "1", 3, "S", 1},  // "é" needs two bytes, only one is left
      {"S\xC3\xA9", "1", 4, "S\xC3\xA9", 1},
      {"\xE2\x82\xAC", "1", 3, "", 1},
      {"Debian", "6.1.0", 1, "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pretty) + "|" + c.release + "|" + std::to_string(c.size));
    fake_.pretty = c.pretty;
    fake_.release = c.release;
    reload();
    char buffer[300];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(TavGetOsType(buffer, c.size), c.result);
    EXPECT_STREQ(buffer, c.want);
    EXPECT_EQ(buffer[c.size], '#');  // nothing written past the given size
  }
  char untouched = '#';
  EXPECT_EQ(TavGetOsType(&untouched, 0), 0);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(TavGetOsType(nullptr, 10), 0);
}

TEST_F(OsQueriesTest, FactsAreCachedButFreeMemoryIsReadEachTime) {
  EXPECT_EQ(TavGetProcessorCoreCount(), 4);
  EXPECT_EQ(TavGetLogicalProcessorCoreCount(), 8);
  EXPECT_EQ(TavGetFreePhyMem(), 3u);  // bytes >> 20
  const int reads = fake_.reads;
  fake_.cores = 16;
  fake_.logical = 32;
  fake_.memory = 5000 * kMiB;
  EXPECT_EQ(TavGetProcessorCoreCount(), 4);
  EXPECT_EQ(TavGetLogicalProcessorCoreCount(), 8);
  EXPECT_EQ(TavOsIsAmd64(), 1);
  EXPECT_EQ(fake_.reads, reads);  // nothing read again
  EXPECT_EQ(TavGetFreePhyMem(), 5000u);
  reload();
  EXPECT_EQ(TavGetProcessorCoreCount(), 16);
  EXPECT_EQ(TavGetLogicalProcessorCoreCount(), 32);
}

TEST_F(OsQueriesTest, CountsAreAtLeastOne) {
  fake_.cores = 0;
  fake_.logical = -3;
  reload();
  EXPECT_EQ(TavGetProcessorCoreCount(), 1);
  EXPECT_EQ(TavGetLogicalProcessorCoreCount(), 1);
}

TEST_F(OsQueriesTest, ConcurrentFirstQueriesReadTheFactsOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (TavGetProcessorCoreCount() != 4 || TavGetLogicalProcessorCoreCount() != 8) ++wrong;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(fake_.reads, 5);  // each of the five facts once
}

}  // namespace
