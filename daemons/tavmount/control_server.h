// The mount daemon's control socket listener: accepts connections on a Unix stream socket, checks
// the peer with SO_PEERCRED and hands each request frame (control_protocol.h) to
// MountDaemon::control with the peer as the Caller. One thread per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/file_utils.h"
#include "core/status.h"
#include "daemons/tavmount/mount_daemon.h"
#include "daemons/tavmount/protocol/control_protocol.h"

namespace tav::mount {

// Threads: listen(), stop() and the destructor are for the owning thread. The acceptor thread
// owns the listening socket while it runs; each connection has its own thread, which alone
// reads and writes that connection. `connections_` is guarded by `mu_`.
//
// Peers: root (uid 0) is served until it closes or sends a frame breaking the frame rules (a
// frame that does not arrive whole within kFrameTimeout of its first byte included), which
// closes the connection. Any other peer is sent one STATUS_ACCESS_DENIED reply and closed as soon
// as it is accepted, without being read: it never holds a thread or a connection slot, and its
// request never reaches the daemon. A frame naming a device other than 0 or 1 gets
// STATUS_INVALID_DEVICE_REQUEST. Each root connection holds one reference of device 0.
class ControlServer {
 public:
  // Called on a connection thread after PART_OPEN or PART_CLOSE completed and before the reply
  // is sent (the daemon drops the FUSE file's cached data and size there).
  using MountChangeHook = std::function<void()>;

  // `daemon` must outlive this object.
  explicit ControlServer(MountDaemon* daemon, MountChangeHook on_mount_change = {});
  ~ControlServer();  // stop()
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Creates the socket at `socket_path` (nothing may exist there: the caller removes a stale
  // socket first), listening, mode 0600 (peers are also checked by their credentials), and
  // starts accepting.
  Status listen(const std::string& socket_path);

  static constexpr std::chrono::milliseconds kWaitForever{-1};

  // Stops accepting, removes the socket file and ends every connection: a request already inside
  // the driver may complete for up to `limit` (kWaitForever: as long as it takes). True when
  // every thread was joined. False when a request was still inside the daemon at the limit: its
  // thread is left running, and the caller must end the process without destroying the daemon
  // or this object. Idempotent.
  bool stop(std::chrono::milliseconds limit = kWaitForever);

  // Most connections served at once; more are closed as soon as they are accepted.
  static constexpr size_t kMaxConnections = 32;

 private:
  struct Connection;

  void accept_loop();
  void serve(Connection* connection);
  void reap_finished_locked();

  MountDaemon* const daemon_;
  const MountChangeHook on_mount_change_;
  std::string socket_path_;
  UniqueFd listen_fd_;
  UniqueFd wake_fd_;  // eventfd: stop() wakes the acceptor
  std::thread acceptor_;

  std::mutex mu_;
  std::list<std::unique_ptr<Connection>> connections_;  // guarded by mu_
  std::list<std::unique_ptr<Connection>> stopping_;     // owning thread only: taken over by stop()
};

}  // namespace tav::mount
