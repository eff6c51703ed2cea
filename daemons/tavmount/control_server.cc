// The control socket listener of the mount daemon (see control_server.h).
#include "daemons/tavmount/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "daemons/tavmount/protocol/mount_info.h"

namespace tav::mount {

struct ControlServer::Connection {
  UniqueFd fd;  // closed only when the Connection goes, after its thread was joined
  Caller peer;
  std::thread thread;
  std::atomic<bool> finished{false};
};

namespace {

bool is_mount_change(uint32_t code) {
  return code == IOCTL_TAV_PART_OPEN || code == IOCTL_TAV_PART_CLOSE;
}

// Answers a peer that may not use the daemon without reading from it: the reply carries no
// output, so it does not depend on the request, and it fits the socket's buffer, so the send
// never waits. The peer reads it whether or not its request went out before the close.
void refuse(int fd) {
  Reply denied;
  denied.status = STATUS_ACCESS_DENIED;
  const std::vector<uint8_t> frame = encode_reply(denied, 0);
  (void)!::send(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

ControlServer::ControlServer(MountDaemon* daemon, MountChangeHook on_mount_change)
    : daemon_(daemon), on_mount_change_(std::move(on_mount_change)) {}

ControlServer::~ControlServer() { stop(); }

Status ControlServer::listen(const std::string& socket_path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof addr.sun_path) {
    return Status::invalid_argument("control socket path is empty or too long: " + socket_path);
  }
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd.valid() || !wake.valid()) {
    const int err = errno;
    return Status::io_error(std::string("cannot create the control socket: ") + std::strerror(err));
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    return Status::io_error("cannot bind " + socket_path + ": " + std::strerror(err));
  }
  // From here on the file is ours to remove.
  socket_path_ = socket_path;
  if (::chmod(socket_path.c_str(), 0600) != 0 || ::listen(fd.get(), 16) != 0) {
    const int err = errno;
    ::unlink(socket_path.c_str());
    socket_path_.clear();
    return Status::io_error("cannot listen on " + socket_path + ": " + std::strerror(err));
  }
  listen_fd_ = std::move(fd);
  wake_fd_ = std::move(wake);
  try {
    acceptor_ = std::thread([this] { accept_loop(); });
  } catch (const std::exception&) {
    stop();
    return Status::out_of_memory("cannot start the control socket thread");
  }
  return Status::ok();
}

bool ControlServer::stop(std::chrono::milliseconds limit) {
  if (acceptor_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof one);
    acceptor_.join();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_.splice(stopping_.end(), connections_);
  }
  // Shutting the sockets down wakes threads blocked in a read; one inside the daemon finishes
  // its request first and then finds the connection gone.
  for (auto& c : stopping_) ::shutdown(c->fd.get(), SHUT_RDWR);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (auto it = stopping_.begin(); it != stopping_.end();) {
    Connection& c = **it;
    while (!c.finished.load() && limit != kWaitForever && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!c.finished.load() && limit != kWaitForever) {
      ++it;  // still inside the daemon: left to the process's end
      continue;
    }
    if (c.thread.joinable()) c.thread.join();
    it = stopping_.erase(it);
  }
  if (!socket_path_.empty()) {
    ::unlink(socket_path_.c_str());
    socket_path_.clear();
  }
  if (!stopping_.empty()) return false;
  listen_fd_.reset();
  wake_fd_.reset();
  return true;
}

void ControlServer::reap_finished_locked() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished.load()) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void ControlServer::accept_loop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) {
      if (fds[0].revents != 0) return;  // the listening socket failed
      continue;
    }
    UniqueFd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) continue;  // the peer went away, or descriptors ran out for now

    ucred cred{};
    socklen_t cred_length = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &cred_length) != 0) continue;
    if (cred.uid != 0) {
      refuse(fd.get());
      continue;  // closes fd: a refused peer never holds a thread or a slot
    }

    std::lock_guard<std::mutex> lock(mu_);
    reap_finished_locked();
    if (connections_.size() >= kMaxConnections) continue;  // closes fd
    try {
      auto connection = std::make_unique<Connection>();
      connection->fd = std::move(fd);
      connection->peer.pid = uint32_t(cred.pid);
      connection->peer.uid = uint32_t(cred.uid);
      connection->peer.gid = uint32_t(cred.gid);
      Connection* raw = connection.get();
      connections_.push_back(std::move(connection));
      raw->thread = std::thread([this, raw] { serve(raw); });
    } catch (const std::exception&) {
      // No thread started for the last entry: drop it, which closes its socket.
      if (!connections_.empty() && !connections_.back()->thread.joinable()) connections_.pop_back();
    }
  }
}

void ControlServer::serve(Connection* connection) {
  const int fd = connection->fd.get();
  try {
    struct Reference {
      MountDaemon* daemon;
      explicit Reference(MountDaemon* d) : daemon(d) { daemon->add_reference(0, 1); }
      ~Reference() { daemon->add_reference(0, -1); }
    } reference(daemon_);
    ControlRequest request;
    while (read_request(fd, &request)) {
      Reply reply;
      if (request.device > 1) {
        reply.status = STATUS_INVALID_DEVICE_REQUEST;
      } else {
        reply = daemon_->control(request.device, request.code, request.in, request.out_length, connection->peer);
        if (is_mount_change(request.code) && on_mount_change_) on_mount_change_();
      }
      if (!write_reply(fd, reply, request.out_length)) break;
    }
  } catch (const std::exception&) {
    // Out of memory for a request's buffers: the connection ends, the daemon carries on.
  }
  ::shutdown(fd, SHUT_RDWR);
  connection->finished.store(true);
}

}  // namespace tav::mount
