// The control socket's frames and its listener: frames survive a round trip; bad magic, lengths
// above the limit and frames cut short are refused; the listener serves root, closes the
// connection on a malformed frame, refuses other users and cleans up when stopped.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "core/byte_order.h"
#include "core/file_utils.h"
#include "daemons/tavmount/control_server.h"
#include "daemons/tavmount/mount_daemon.h"
#include "daemons/tavmount/protocol/control_protocol.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::mount {
namespace {

using sysutil_test::TempDir;

struct SocketPair {
  SocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  // Sends raw bytes from `a` and closes it, so the reader at `b` sees exactly these bytes.
  void send_and_close(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(ssize_t(bytes.size()), ::send(a.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
    a.reset();
  }
  UniqueFd a, b;
};

std::vector<uint8_t> header(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  const uint32_t words[] = {w0, w1, w2, w3, w4};
  std::vector<uint8_t> h(sizeof words);
  for (size_t i = 0; i < std::size(words); ++i) put_le32(&h[4 * i], words[i]);
  return h;
}

std::vector<uint8_t> counting_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 3);
  return v;
}

TEST(ControlFrames, RequestsAndRepliesSurviveARoundTrip) {
  for (size_t in_size : {size_t(0), size_t(1), size_t(kMountInfoBytes), size_t(kMaxControlBytes)}) {
    SCOPED_TRACE(in_size);
    SocketPair pair;
    const std::vector<uint8_t> in = counting_bytes(in_size);
    // The largest frame does not fit the socket buffer: write while the other side reads.
    std::thread writer([&] { EXPECT_TRUE(write_request(pair.a.get(), 1, IOCTL_TAV_PART_OPEN, in, kMaxControlBytes)); });
    ControlRequest got;
    const Status st = read_request(pair.b.get(), &got);
    writer.join();
    ASSERT_TRUE(st) << st.message();
    EXPECT_EQ(1u, got.device);
    EXPECT_EQ(IOCTL_TAV_PART_OPEN, got.code);
    EXPECT_EQ(kMaxControlBytes, got.out_length);
    EXPECT_EQ(in, got.in);
  }

  // A reply carries at most what the request asked for; the 64-bit information is kept whole.
  SocketPair pair;
  Reply reply;
  reply.status = STATUS_BUFFER_TOO_SMALL;
  reply.information = 0x100000002ull;
  reply.out = counting_bytes(10);
  ASSERT_TRUE(write_reply(pair.a.get(), reply, 4));
  Reply got;
  ASSERT_TRUE(read_reply(pair.b.get(), 4, &got));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, got.status);
  EXPECT_EQ(0x100000002ull, got.information);
  EXPECT_EQ(std::vector<uint8_t>(reply.out.begin(), reply.out.begin() + 4), got.out);
}

TEST(ControlFrames, MalformedRequestsAreRefused) {
  const uint32_t over = kMaxControlBytes + 1;
  auto with_payload = [](std::vector<uint8_t> h, size_t n) {
    const std::vector<uint8_t> p = counting_bytes(n);
    h.insert(h.end(), p.begin(), p.end());
    return h;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    StatusCode expected;
  } cases[] = {
      {"closed before a frame", {}, StatusCode::kNotFound},
      {"bad magic", header(0x4D564155, 0, IOCTL_TAV_GET_VERSION, 0, 4), StatusCode::kCorruption},
      {"input length above the limit", header(kControlMagic, 0, IOCTL_TAV_PART_OPEN, over, 0), StatusCode::kCorruption},
      {"output length above the limit", header(kControlMagic, 0, IOCTL_TAV_PART_QUERY, 0, over), StatusCode::kCorruption},
      {"header cut short", [] {
         std::vector<uint8_t> b = header(kControlMagic, 0, IOCTL_TAV_GET_VERSION, 0, 4);
         b.resize(7);
         return b;
       }(), StatusCode::kCorruption},
      {"input cut short", with_payload(header(kControlMagic, 0, IOCTL_TAV_PART_OPEN, 10, 0), 3),
       StatusCode::kCorruption},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    pair.send_and_close(c.bytes);
    ControlRequest got;
    EXPECT_EQ(c.expected, read_request(pair.b.get(), &got).code());
  }

  // The sender refuses what the receiver would.
  SocketPair pair;
  EXPECT_EQ(StatusCode::kInvalidArgument,
            write_request(pair.a.get(), 0, IOCTL_TAV_PART_OPEN, std::vector<uint8_t>(over), 0).code());
  EXPECT_EQ(StatusCode::kInvalidArgument, write_request(pair.a.get(), 0, IOCTL_TAV_PART_QUERY, {}, over).code());
}

TEST(ControlFrames, MalformedRepliesAreRefused) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"bad magic", header(0x12345678, 0, 0, 0, 0)},
      // status, information (two words), out_bytes 8 against an out_length of 4
      {"more output than asked for", [] {
         std::vector<uint8_t> b = header(kControlMagic, 0, 0, 0, 8);
         b.resize(b.size() + 8);
         return b;
       }()},
      {"output cut short", [] {
         std::vector<uint8_t> b = header(kControlMagic, 0, 4, 0, 4);
         b.resize(b.size() + 2);
         return b;
       }()},
      {"header cut short", std::vector<uint8_t>(12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    pair.send_and_close(c.bytes);
    Reply got;
    EXPECT_EQ(StatusCode::kCorruption, read_reply(pair.b.get(), 4, &got).code());
  }
}

TEST(ControlFrames, ClientTellsAMissingDaemonFromBadArguments) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Reply reply;
  EXPECT_EQ(StatusCode::kNotFound,
            control_request(dir.file("none.sock"), 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply).code());
  // A socket file nobody listens on any more (a daemon that died).
  {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, dir.file("stale.sock").c_str());
    ASSERT_EQ(0, ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  }
  EXPECT_EQ(StatusCode::kNotFound,
            control_request(dir.file("stale.sock"), 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply).code());
  EXPECT_EQ(StatusCode::kInvalidArgument,
            control_request(dir.file(std::string(200, 'x')), 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply).code());
}

// A daemon that takes the connection but never answers (hung) must not hang its client.
TEST(ControlFrames, ClientGivesUpOnADaemonThatDoesNotAnswer) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, dir.file("hung.sock").c_str());
  ASSERT_EQ(0, ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(listener.get(), 4));  // connections queue; nobody accepts or answers
  Reply reply;
  const Status st = control_request(dir.file("hung.sock"), 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply,
                                    std::chrono::milliseconds(200));
  EXPECT_EQ(StatusCode::kIoError, st.code());
  EXPECT_NE(st.message().find("did not answer in time"), std::string::npos) << st.message();
}

TEST(ControlFrames, AFrameHasOneDeadlineHoweverItsBytesTrickleIn) {
  SocketPair pair;
  const std::vector<uint8_t> frame = header(kControlMagic, 0, IOCTL_TAV_GET_VERSION, 0, 4);
  // One byte every 40 ms: each byte comes well within any per-read limit, the frame does not
  // come within its 300 ms.
  std::thread trickle([&] {
    for (uint8_t byte : frame) {
      if (::send(pair.a.get(), &byte, 1, MSG_NOSIGNAL) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  });
  ControlRequest request;
  const auto start = std::chrono::steady_clock::now();
  const Status st = read_request(pair.b.get(), &request, std::chrono::milliseconds(300));
  const auto took = std::chrono::steady_clock::now() - start;
  pair.b.reset();  // ends the trickle's sends
  trickle.join();
  EXPECT_EQ(StatusCode::kIoError, st.code()) << st.message();
  EXPECT_NE(st.message().find("whole frame in time"), std::string::npos) << st.message();
  EXPECT_LT(took, std::chrono::milliseconds(600));

  // Idle time before a frame begins does not count against it.
  SocketPair idle;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::send(idle.a.get(), frame.data(), frame.size(), MSG_NOSIGNAL);
  });
  const Status ok = read_request(idle.b.get(), &request, std::chrono::milliseconds(300));
  late.join();
  EXPECT_TRUE(ok) << ok.message();
}

// A listener over a real driver on a socket in a temporary directory.
class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // Other users must reach the socket for the credential check to be what refuses them.
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    socket_path_ = dir_.file("ctl.sock");
    const Status st = server_.listen(socket_path_);
    ASSERT_TRUE(st) << st.message();
  }

  UniqueFd connect_raw() {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socket_path_.c_str());
    EXPECT_EQ(0, ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr)) << std::strerror(errno);
    return fd;
  }

  Reply ask(int fd, uint32_t device, uint32_t code, uint32_t out_length = 4) {
    Reply reply;
    EXPECT_TRUE(write_request(fd, device, code, {}, out_length));
    const Status st = read_reply(fd, out_length, &reply);
    EXPECT_TRUE(st) << st.message();
    return reply;
  }

  // True when the peer closed `fd`: a read returns end of file, or a reset when the listener
  // closed before accepting the connection.
  static bool closed_by_peer(int fd) {
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

  TempDir dir_;
  std::string socket_path_;
  MountDaemon daemon_;
  ControlServer server_{&daemon_};
};

TEST_F(ControlServerTest, ServesRequestsInOrderOnOneConnection) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root is served; this test runs as another user";
  UniqueFd fd = connect_raw();
  Reply version = ask(fd.get(), 0, IOCTL_TAV_GET_VERSION);
  EXPECT_EQ(STATUS_SUCCESS, version.status);
  ASSERT_EQ(4u, version.out.size());
  EXPECT_EQ(kInterfaceVersion, get_le32(version.out.data()));
  // No such device: answered, not passed on, and the connection stays usable.
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, ask(fd.get(), 2, IOCTL_TAV_GET_VERSION).status);
  EXPECT_EQ(STATUS_SUCCESS, ask(fd.get(), 1, IOCTL_TAV_GET_MOUNT_COUNT).status);

  // Each open connection holds a reference of device 0 (the low half of the counts). The second
  // connection's round trip makes sure its thread has started before the count is asked.
  UniqueFd second = connect_raw();
  ask(second.get(), 0, IOCTL_TAV_GET_VERSION);
  Reply counts = ask(fd.get(), 0, IOCTL_TAV_GET_REF_COUNTS);
  ASSERT_EQ(4u, counts.out.size());
  EXPECT_EQ(2u, get_le32(counts.out.data()) & 0xFFFF);

  // The client call reaches the same server.
  Reply reply;
  ASSERT_TRUE(control_request(socket_path_, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply));
  EXPECT_EQ(kInterfaceVersion, get_le32(reply.out.data()));
}

TEST_F(ControlServerTest, MalformedFrameClosesTheConnection) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root is served; this test runs as another user";
  const std::vector<std::vector<uint8_t>> frames = {
      header(0xDEADBEEF, 0, IOCTL_TAV_GET_VERSION, 0, 4),
      header(kControlMagic, 0, IOCTL_TAV_PART_OPEN, kMaxControlBytes + 1, 0),
      header(kControlMagic, 0, IOCTL_TAV_PART_QUERY, 0, 0xFFFFFFFF),
  };
  for (const auto& frame : frames) {
    UniqueFd fd = connect_raw();
    ASSERT_EQ(ssize_t(frame.size()), ::send(fd.get(), frame.data(), frame.size(), MSG_NOSIGNAL));
    EXPECT_TRUE(closed_by_peer(fd.get()));
  }
  // The listener itself carries on.
  Reply reply;
  ASSERT_TRUE(control_request(socket_path_, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply));
  EXPECT_EQ(STATUS_SUCCESS, reply.status);
}

TEST_F(ControlServerTest, SocketIsTheOwnersAlone) {
  struct stat st {};
  ASSERT_EQ(0, ::stat(socket_path_.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

// Other users' connections are answered and closed as they are accepted: however many there are
// and however they trickle bytes, they hold no slot, and root is served at once.
TEST_F(ControlServerTest, RefusedPeersHoldNoSlot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(0, ::chmod(socket_path_.c_str(), 0666));
  int ready[2];
  int done[2];
  ASSERT_EQ(0, ::pipe(ready));
  ASSERT_EQ(0, ::pipe(done));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(ready[0]);
    ::close(done[1]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(20);
    std::vector<int> fds;
    for (size_t i = 0; i < 2 * ControlServer::kMaxConnections; ++i) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strcpy(addr.sun_path, socket_path_.c_str());
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(21);
      const uint8_t byte = 0x4d;
      (void)!::send(fd, &byte, 1, MSG_NOSIGNAL);  // the first byte of a frame that never ends
      fds.push_back(fd);
    }
    (void)!::write(ready[1], "r", 1);
    // Keep trickling while root works; every connection must have been answered and closed.
    int refused = 0;
    for (int fd : fds) {
      Reply reply;
      if (read_reply(fd, 4, &reply, std::chrono::milliseconds(2000)) && reply.status == STATUS_ACCESS_DENIED) ++refused;
    }
    char byte;
    (void)!::read(done[0], &byte, 1);
    ::_exit(refused == int(fds.size()) ? 0 : 11);
  }
  ::close(ready[1]);
  ::close(done[0]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    Reply reply;
    ASSERT_TRUE(control_request(socket_path_, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply, std::chrono::seconds(5)));
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  (void)!::write(done[1], "d", 1);
  ::close(done[1]);
  ::close(ready[0]);
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "11: a peer was not refused at once, 20: setuid, 21: connect";
}

TEST_F(ControlServerTest, RefusesPeersOtherThanRoot) {
  auto ask_as_peer = [this]() -> int {
    Reply reply;
    const Status st = control_request(socket_path_, 0, IOCTL_TAV_GET_VERSION, {}, 4, &reply);
    if (!st) return 10;
    if (reply.status != STATUS_ACCESS_DENIED) return 11;
    return reply.out.empty() ? 0 : 12;
  };
  if (::geteuid() != 0) {
    EXPECT_EQ(0, ask_as_peer());
    return;
  }
  // The socket's mode (0600) keeps other users out already; it is opened up here to reach the
  // credential check behind it.
  ASSERT_EQ(0, ::chmod(socket_path_.c_str(), 0666));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(20);
    ::_exit(ask_as_peer());
  }
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "10: no reply, 11: not refused, 12: refused with data, 20: setuid";
}

TEST_F(ControlServerTest, StopEndsIdleConnectionsAndRemovesTheSocket) {
  UniqueFd idle = connect_raw();
  server_.stop();
  EXPECT_TRUE(closed_by_peer(idle.get()));
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
  server_.stop();  // again: nothing left to do
}

}  // namespace
}  // namespace tav::mount
