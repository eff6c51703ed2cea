// The mount client's calls on their own: argument checks and results without a daemon (no root
// needed), and the daemon start: a daemon of another version is stopped and replaced, a missing
// daemon program is reported. The mounts themselves are shown end to end in
// tests/cli/mount_end_to_end_test.cc.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "core/byte_order.h"
#include "core/language.h"
#include "core/last_error.h"
#include "daemons/tavmount/protocol/control_protocol.h"
#include "disk/mount_table.h"
#include "services/mount_client.h"
#include "tests/core/scoped_env.h"
#include "tests/services/mount_test_support.h"

namespace tav::services {
namespace {

using mount_test::MountEnvironment;
using namespace tav::mount;

std::vector<uint8_t> record_for(char16_t letter) {
  MountInformation info;
  info.drive_letter = letter;
  MountInfoBytes bytes{};
  encode_mount_info(info, &bytes);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

class MountClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(env_.dir().empty());
    // Letter M names a directory of ours; N is not in the table.
    disk::set_volume_table(disk::VolumeTable({{'C', "/"}, {'M', env_.mount_point("m")}}));
  }
  void TearDown() override {
    env_.cleanup();
    disk::set_volume_table(disk::VolumeTable::load());
  }
  MountEnvironment env_;
};

TEST_F(MountClientTest, BadArgumentsAreRefusedWithInvalidParameter) {
  std::vector<uint8_t> record = record_for(u'M');
  std::vector<uint8_t> no_letter = record_for(u'1');
  std::vector<uint8_t> unmapped = record_for(u'N');
  struct Case {
    const char* what;
    int (*call)(uint8_t*, uint32_t);
    uint8_t* record;
    uint32_t size;
  };
  const Case cases[] = {
      {"mount without record", [](uint8_t* r, uint32_t s) { return InternalMount(r, s, kDiskDevice); }, nullptr, 2048},
      {"mount short record", [](uint8_t* r, uint32_t s) { return InternalMount(r, s, kDiskDevice); }, record.data(), 2047},
      {"mount long record", [](uint8_t* r, uint32_t s) { return TavMountDrive(r, s); }, record.data(), 2049},
      {"mount unmapped letter", [](uint8_t* r, uint32_t s) { return InternalMount(r, s, kDiskDevice); }, unmapped.data(), 2048},
      {"unmount without record", InternalUnmount, nullptr, 2048},
      {"unmount short record", InternalUnmount, record.data(), 100},
      {"unmount no letter", InternalUnmount, no_letter.data(), 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set_last_error(0);
    EXPECT_EQ(c.call(c.record, c.size), 0);
    EXPECT_EQ(get_last_error(), uint32_t(EINVAL));
  }
  int status = 0;
  EXPECT_EQ(InternalMountStatus(record.data(), 36, &status), 0);
  EXPECT_EQ(status, kMountStatusBadArgs);
  EXPECT_EQ(InternalMountStatus(record.data(), 2048, nullptr), 0);
}

TEST_F(MountClientTest, WithoutADaemonNothingIsMountedAndNothingIsSetUp) {
  std::vector<uint8_t> record = record_for(u'Q');
  int status = 0;
  EXPECT_EQ(InternalMountStatus(record.data(), 2048, &status), 0);
  EXPECT_EQ(status, kMountStatusNoDaemon);
  EXPECT_EQ(TavGetMountedDrive(), 0);

  MountInformation info;
  ASSERT_TRUE(set_mount_path(&info, env_.dir() + "/", "imbackup"));
  const std::string mp = env_.mount_point("m");
  const Status st = mount_snapshot(&info, mp, kDiskDevice);
  EXPECT_FALSE(st.is_ok());
  EXPECT_NE(st.message().find("does not answer"), std::string::npos) << st.message();
  EXPECT_FALSE(mount_test::is_mount_point(mp));

  // A mount point in use and one that is no directory are refused before the daemon is asked.
  EXPECT_EQ(mount_snapshot(&info, "/", kDiskDevice).code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(mount_snapshot(&info, env_.file("missing"), kDiskDevice).code(), StatusCode::kInvalidArgument);
  // Nothing of ours is mounted at "/": left alone.
  EXPECT_EQ(unmount_snapshot("/", kDiskDevice, &info, nullptr).code(), StatusCode::kInvalidArgument);
}

TEST_F(MountClientTest, AMissingDaemonProgramIsReported) {
  const char* old_home = std::getenv("TAV_HOME");
  const std::string saved_home = old_home != nullptr ? old_home : "";
  const char* old_path = std::getenv("PATH");
  const std::string saved_path = old_path != nullptr ? old_path : "";
  ::setenv("TAV_HOME", env_.dir().c_str(), 1);  // no tavmount there
  ::setenv("PATH", env_.dir().c_str(), 1);      // nor here
  set_last_error(0);
  const int started = TavStartDriver();
  const uint32_t error = get_last_error();
  ::setenv("PATH", saved_path.c_str(), 1);
  if (old_home != nullptr) {
    ::setenv("TAV_HOME", saved_home.c_str(), 1);
  } else {
    ::unsetenv("TAV_HOME");
  }
  EXPECT_EQ(started, 0);
  EXPECT_EQ(error, kErrMountDriverNotFound);
}

// A stand-in daemon in a child process that answers every version request with `version`.
pid_t start_fake_daemon(const std::string& socket_path, uint32_t version) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0) ::_exit(1);
  for (;;) {
    const int c = ::accept(fd, nullptr, nullptr);
    if (c < 0) continue;
    ControlRequest request;
    while (read_request(c, &request).is_ok()) {
      Reply reply;
      if (request.code == IOCTL_TAV_GET_VERSION) {
        reply.out.resize(4);
        put_le32(reply.out.data(), version);
        reply.information = 4;
      } else {
        reply.status = STATUS_INVALID_DEVICE_REQUEST;
      }
      write_reply(c, reply, request.out_length);
    }
    ::close(c);
  }
}

TEST_F(MountClientTest, ADaemonOfAnotherVersionIsReplaced) {
  if (const std::string reason = env_.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  const pid_t fake = start_fake_daemon(env_.socket_path(), kInterfaceVersion - 1);
  ASSERT_GT(fake, 0);
  for (int i = 0; i < 200 && mount_test::socket_peer(env_.socket_path()) != fake; ++i) ::usleep(10000);
  ASSERT_EQ(mount_test::socket_peer(env_.socket_path()), fake);

  EXPECT_EQ(TavStartDriver(), 1) << std::hex << get_last_error();
  int status = 0;
  EXPECT_EQ(::waitpid(fake, &status, 0), fake);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the old daemon was not stopped";
  if (WIFEXITED(status) || ::kill(fake, 0) == 0) ::kill(fake, SIGKILL);

  const pid_t daemon = env_.daemon_pid();
  EXPECT_GT(daemon, 0);
  EXPECT_NE(daemon, fake);
  Reply reply;
  ASSERT_TRUE(control_request(env_.socket_path(), 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply).is_ok());
  ASSERT_EQ(reply.out.size(), 4u);
  EXPECT_EQ(get_le32(reply.out.data()), kInterfaceVersion);
  // A daemon of the right version is left running.
  EXPECT_EQ(TavStartDriver(), 1);
  EXPECT_EQ(env_.daemon_pid(), daemon);

  int mount_status = 0;
  std::vector<uint8_t> record = record_for(0);
  EXPECT_EQ(InternalMountStatus(record.data(), 2048, &mount_status), 1);
  EXPECT_EQ(mount_status, kMountStatusNone);
}

TEST_F(MountClientTest, ProcessesStartingAtOnceStartOneDaemon) {
  if (const std::string reason = env_.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  // A "tavmount" found through PATH (the program directory has none) that notes each start, then
  // runs the real daemon.
  const std::string tools = env_.file("tools");
  const std::string starts = env_.file("starts.txt");
  std::filesystem::create_directories(tools);
  {
    std::ofstream script(tools + "/tavmount");
    script << "#!/bin/sh\necho started >>'" << starts << "'\nexec '" << TAV_BINARY_DIR << "/bin/tavmount' \"$@\"\n";
  }
  ::chmod((tools + "/tavmount").c_str(), 0755);
  test::ScopedEnv home("TAV_HOME", env_.dir().c_str());
  const std::string saved_path = std::getenv("PATH");
  ::setenv("PATH", (tools + ":" + saved_path).c_str(), 1);

  std::vector<pid_t> children;
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int ok = TavStartDriver();
      if (ok != 1) std::fprintf(stderr, "caller %d: error 0x%X\n", i, get_last_error());
      ::_exit(ok == 1 ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::setenv("PATH", saved_path.c_str(), 1);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a caller failed";
  }
  std::ifstream in(starts);
  int count = 0;
  for (std::string line; std::getline(in, line);) ++count;
  EXPECT_EQ(count, 1) << "the daemon was started " << count << " times";
  EXPECT_GT(env_.daemon_pid(), 0);
}

}  // namespace
}  // namespace tav::services
