// Frames of the mount daemon's control socket (layout in control_protocol.h) and the client's
// one-request call.
#include "daemons/tavmount/protocol/control_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstring>

#include "core/byte_order.h"
#include "core/file_utils.h"
#include "core/program_dir.h"

namespace tav::mount {
namespace {

std::string errno_text(int err) { return std::strerror(err); }

using Clock = std::chrono::steady_clock;

constexpr const char* kDaemonLate = "the mount daemon did not answer in time (it may be hung: restart it)";
constexpr const char* kPeerLate = "the peer did not send a whole frame in time";

// Reads exactly `length` bytes, all of them before `deadline` (Clock::time_point::max(): no
// limit; `late` is the message when it passes). *got tells how many arrived before an end or an
// error.
Status read_exact(int fd, uint8_t* data, size_t length, size_t* got, Clock::time_point deadline,
                  const char* late = kDaemonLate) {
  *got = 0;
  while (*got < length) {
    if (deadline != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd, POLLIN, 0};
      const int ready = left.count() > 0 ? ::poll(&p, 1, int(std::min<int64_t>(left.count(), INT32_MAX))) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        const int err = errno;
        return Status::io_error("control socket wait failed: " + errno_text(err));
      }
      if (ready == 0) return Status::io_error(late);
    }
    const ssize_t n = ::recv(fd, data + *got, length - *got, 0);
    if (n > 0) {
      *got += size_t(n);
    } else if (n == 0) {
      return Status::corruption("the connection ended inside a frame");
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return Status::io_error(late);
    } else if (errno != EINTR) {
      const int err = errno;
      return Status::io_error("control socket read failed: " + errno_text(err));
    }
  }
  return Status::ok();
}

Clock::time_point deadline_after(std::chrono::milliseconds timeout) {
  return timeout.count() <= 0 ? Clock::now() : Clock::now() + timeout;
}

Status write_all(int fd, const std::vector<uint8_t>& frame) {
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n >= 0) {
      done += size_t(n);
    } else if (errno != EINTR) {
      const int err = errno;
      return Status::io_error("control socket write failed: " + errno_text(err));
    }
  }
  return Status::ok();
}

}  // namespace

std::string control_socket_path() { return run_dir() + "tavmount.sock"; }

std::string default_fuse_dir() { return run_dir() + "tavmount"; }

std::vector<uint8_t> encode_request(uint32_t device, uint32_t code, std::span<const uint8_t> in,
                                    uint32_t out_length) {
  if (in.size() > kMaxControlBytes || out_length > kMaxControlBytes) return {};
  std::vector<uint8_t> frame(kRequestHeaderBytes + in.size());
  put_le32(&frame[0], kControlMagic);
  put_le32(&frame[4], device);
  put_le32(&frame[8], code);
  put_le32(&frame[12], uint32_t(in.size()));
  put_le32(&frame[16], out_length);
  std::copy(in.begin(), in.end(), frame.begin() + kRequestHeaderBytes);
  return frame;
}

std::vector<uint8_t> encode_reply(const Reply& reply, uint32_t out_length) {
  const size_t out_bytes = std::min<size_t>({reply.out.size(), out_length, kMaxControlBytes});
  std::vector<uint8_t> frame(kReplyHeaderBytes + out_bytes);
  put_le32(&frame[0], kControlMagic);
  put_le32(&frame[4], reply.status);
  put_le64(&frame[8], reply.information);
  put_le32(&frame[16], uint32_t(out_bytes));
  std::copy_n(reply.out.begin(), out_bytes, frame.begin() + kReplyHeaderBytes);
  return frame;
}

Status read_request(int fd, ControlRequest* request, std::chrono::milliseconds frame_timeout) {
  uint8_t header[kRequestHeaderBytes];
  size_t got = 0;
  // Between frames the peer may be idle; once a frame begins it has one deadline, so bytes sent
  // one at a time cannot keep the reader here.
  Status st = read_exact(fd, header, 1, &got, Clock::time_point::max());
  if (!st) return got == 0 && st.code() == StatusCode::kCorruption ? Status::not_found("connection closed") : st;
  const Clock::time_point deadline = deadline_after(frame_timeout);
  st = read_exact(fd, header + 1, sizeof header - 1, &got, deadline, kPeerLate);
  if (!st) return st;
  if (get_le32(&header[0]) != kControlMagic) return Status::corruption("request frame has a bad magic");
  const uint32_t in_length = get_le32(&header[12]);
  const uint32_t out_length = get_le32(&header[16]);
  if (in_length > kMaxControlBytes || out_length > kMaxControlBytes) {
    return Status::corruption("request frame length above the limit");
  }
  request->device = get_le32(&header[4]);
  request->code = get_le32(&header[8]);
  request->out_length = out_length;
  request->in.assign(in_length, 0);
  return read_exact(fd, request->in.data(), in_length, &got, deadline, kPeerLate);
}

Status write_reply(int fd, const Reply& reply, uint32_t out_length) {
  return write_all(fd, encode_reply(reply, out_length));
}

Status write_request(int fd, uint32_t device, uint32_t code, std::span<const uint8_t> in,
                     uint32_t out_length) {
  if (in.size() > kMaxControlBytes || out_length > kMaxControlBytes) {
    return Status::invalid_argument("control request longer than the frame allows");
  }
  return write_all(fd, encode_request(device, code, in, out_length));
}

Status read_reply(int fd, uint32_t out_length, Reply* reply, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = deadline_after(timeout);
  uint8_t header[kReplyHeaderBytes];
  size_t got = 0;
  Status st = read_exact(fd, header, sizeof header, &got, deadline);
  if (!st) return st;
  if (get_le32(&header[0]) != kControlMagic) return Status::corruption("reply frame has a bad magic");
  const uint32_t out_bytes = get_le32(&header[16]);
  if (out_bytes > out_length || out_bytes > kMaxControlBytes) {
    return Status::corruption("reply frame carries more than the request asked for");
  }
  reply->status = get_le32(&header[4]);
  reply->information = get_le64(&header[8]);
  reply->out.assign(out_bytes, 0);
  return read_exact(fd, reply->out.data(), out_bytes, &got, deadline);
}

Status control_request(const std::string& socket_path, uint32_t device, uint32_t code,
                       const std::vector<uint8_t>& in, uint32_t out_length, Reply* reply,
                       std::chrono::milliseconds timeout) {
  if (in.size() > kMaxControlBytes || out_length > kMaxControlBytes) {
    return Status::invalid_argument("control request longer than the frame allows");
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof addr.sun_path) {
    return Status::invalid_argument("control socket path is empty or too long: " + socket_path);
  }
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    const int err = errno;
    return Status::io_error("cannot create a socket: " + errno_text(err));
  }
  timeval limit{};
  limit.tv_sec = time_t(timeout.count() / 1000);
  limit.tv_usec = suseconds_t(timeout.count() % 1000 * 1000);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    const int err = errno;
    return Status::io_error("cannot set the control socket's time limit: " + errno_text(err));
  }
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    if (err == ENOENT || err == ECONNREFUSED) {
      return Status::not_found("no mount daemon answers on " + socket_path);
    }
    return Status::io_error("cannot connect to " + socket_path + ": " + errno_text(err));
  }
  Status st = write_request(fd.get(), device, code, in, out_length);
  // A daemon that refuses the caller may answer and close before the whole request went out;
  // its reply is still waiting to be read, so a failed write does not end the call yet.
  Reply got;
  const Status read_st = read_reply(fd.get(), out_length, &got, timeout);
  if (!read_st) return st ? read_st : st;
  *reply = std::move(got);
  return Status::ok();
}

}  // namespace tav::mount
