// CConsolePipe: child programs started with posix_spawn, their output read by a listener thread
// that polls the output pipe together with a stop eventfd and cuts the bytes into lines.
#include "core/console_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

#include "core/file_utils.h"
#include "core/last_error.h"

extern char** environ;

namespace {

// glibc (since 2.24) and musl start the child with vfork semantics and hand a failed exec's
// errno back as posix_spawn's result. Elsewhere the program is checked before it is spawned, so
// a program that cannot be run still fails the launch instead of becoming a child exiting 127.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 24))
constexpr bool kSpawnReportsExecFailure = true;
#else
constexpr bool kSpawnReportsExecFailure = false;
#endif

// How often the listener looks for the child's end when no pidfd can wake it.
constexpr int kChildPollMs = 100;
// How long CleanUp waits for a stopped listener.
constexpr std::chrono::seconds kListenerStopTimeout(5);
// Bytes read from the output pipe at a time.
constexpr size_t kReadChunk = 16 * 1024;

// The object whose listener runs on this thread (null on other threads).
thread_local const CConsolePipe* t_listener_of = nullptr;

using tav::UniqueFd;

// A close-on-exec pipe whose ends are both above 2, so that duplicating them onto the child's
// standard descriptors always makes a new descriptor (and drops close-on-exec there).
int make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  for (UniqueFd* end : {&read_end, &write_end}) {
    if (end->get() > 2) continue;
    int moved = fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    end->reset(moved);
  }
  return 0;
}

int set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
  return 0;
}

// write() that never raises SIGPIPE, without touching the process's signal dispositions: the
// signal is blocked on this thread for the call, and one raised by the call is taken off the
// pending set before the old mask comes back.
ssize_t write_without_sigpipe(int fd, const void* bytes, size_t count) {
  sigset_t pipe_set, old_mask, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  ssize_t written = ::write(fd, bytes, count);
  int saved_errno = errno;
  if (written < 0 && saved_errno == EPIPE && !was_pending) {
    const timespec no_wait = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = saved_errno;
  return written;
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  // A pidfd is always close-on-exec.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

int status_code(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Spawn settings released on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool actions_ok = false;
  bool attr_ok = false;
  SpawnSetup() {
    actions_ok = posix_spawn_file_actions_init(&actions) == 0;
    attr_ok = posix_spawnattr_init(&attr) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok) posix_spawn_file_actions_destroy(&actions);
    if (attr_ok) posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Starts argv with `input` as standard input and `output` as standard output and error.
// 0 and the pid, or an errno value.
int spawn_child(const std::vector<std::string>& argv, int input, int output, pid_t* pid) {
  SpawnSetup setup;
  if (!setup.actions_ok || !setup.attr_ok) return ENOMEM;
  int rc = posix_spawn_file_actions_adddup2(&setup.actions, input, STDIN_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, output, STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, output, STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Our descriptors are close-on-exec already; this also keeps out descriptors that other code
  // in the process opened without it.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
#endif
  if (rc != 0) return rc;

  // The child starts with default signal handling and nothing blocked, whatever this thread
  // blocks or the process ignores (an ignored SIGPIPE would otherwise be inherited).
  sigset_t all_signals, no_signals;
  sigfillset(&all_signals);
  sigemptyset(&no_signals);
  rc = posix_spawnattr_setsigdefault(&setup.attr, &all_signals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attr, &no_signals);
  if (rc == 0) rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc != 0) return rc;

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  return posix_spawnp(pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
}

}  // namespace

CConsolePipe::CConsolePipe() = default;

CConsolePipe::~CConsolePipe() {
  // Destroying the object from its own handler cannot join the listener.
  assert(t_listener_of != this);
  stop_listener();
  if (listen_thread.joinable()) listen_thread.join();
  close_descriptors();
  end_child_for_good();
}

CConsolePipe::CConsolePipe(CConsolePipe&& other) noexcept {
  if (other.listen_thread.joinable()) {
    assert(!"CConsolePipe moved while its listener exists");
    return;
  }
  take_from(other);
}

CConsolePipe& CConsolePipe::operator=(CConsolePipe&& other) noexcept {
  if (this == &other) return *this;
  if (listen_thread.joinable() || other.listen_thread.joinable()) {
    assert(!"CConsolePipe moved while a listener exists");
    return *this;
  }
  close_descriptors();
  end_child_for_good();
  take_from(other);
  return *this;
}

void CConsolePipe::take_from(CConsolePipe& other) {
  stop_event = std::move(other.stop_event);
  stdout_read = std::move(other.stdout_read);
  child_fd_ = std::move(other.child_fd_);
  {
    std::scoped_lock lock(stdin_mu_, other.stdin_mu_);
    stdin_write = std::move(other.stdin_write);
  }
  line_end = other.line_end;
  std::scoped_lock lock(state_mu_, other.state_mu_);
  process = std::exchange(other.process, -1);
  reaped_ = std::exchange(other.reaped_, true);
  kill_sent_ = std::exchange(other.kill_sent_, false);
  exit_status_ = std::exchange(other.exit_status_, -1);
}

int CConsolePipe::Launch(const char* command_line, bool wait) {
  std::vector<std::string> argv;
  try {
    argv = tav::split_command_line(command_line);
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return 0;
  }
  return Launch(argv, wait);
}

int CConsolePipe::Launch(const std::vector<std::string>& argv, bool wait) {
  if (t_listener_of == this) {
    tav::set_last_error(EDEADLK);
    return 0;
  }
  if (argv.empty() || argv[0].empty()) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  if (!CleanUp()) {
    tav::set_last_error(EBUSY);
    return 0;
  }

  // One child per object: a child killed by Kill() is waited for (it cannot ignore SIGKILL); one
  // that runs on after CleanUp keeps the object busy until it ends or is killed.
  bool killed;
  {
    std::lock_guard lock(state_mu_);
    killed = kill_sent_;
  }
  if (killed) reap_blocking();
  reap_if_exited();
  {
    std::lock_guard lock(state_mu_);
    if (!reaped_) {
      tav::set_last_error(EBUSY);
      return 0;
    }
  }

  if (!kSpawnReportsExecFailure) {
    int err = 0;
    if (tav::find_program(argv[0], &err).empty()) {
      tav::set_last_error(err);
      return 0;
    }
  }

  UniqueFd input_read, input_write, output_read, output_write;
  int err = make_pipe(input_read, input_write);
  if (err == 0) err = make_pipe(output_read, output_write);
  if (err == 0) err = set_nonblocking(input_write.get());
  if (err == 0) err = set_nonblocking(output_read.get());
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (err == 0 && wake.get() < 0) err = errno;
  pid_t pid = -1;
  if (err == 0) {
    try {
      err = spawn_child(argv, input_read.get(), output_write.get(), &pid);
    } catch (const std::bad_alloc&) {
      err = ENOMEM;
    }
  }
  if (err != 0) {
    tav::set_last_error(static_cast<uint32_t>(err));
    return 0;
  }
  // The child holds its own copies of these ends; ours would keep the pipes open forever.
  input_read.reset();
  output_write.reset();

  child_fd_.reset(open_pidfd(pid));
  stop_event = std::move(wake);
  stdout_read = std::move(output_read);
  {
    std::lock_guard lock(stdin_mu_);
    stdin_write = std::move(input_write);
  }
  {
    std::lock_guard lock(state_mu_);
    process = pid;
    reaped_ = false;
    kill_sent_ = false;
    exit_status_ = -1;
    listener_done_ = false;
  }

  try {
    listen_thread = std::thread(&CConsolePipe::ListenerMain, this);
  } catch (const std::system_error&) {
    // Nobody would read the child's output: end it rather than leave it behind.
    close_descriptors();
    end_child_for_good();
    {
      std::lock_guard lock(state_mu_);
      listener_done_ = true;
    }
    tav::set_last_error(EAGAIN);
    return 0;
  }

  if (wait) Wait();
  return 1;
}

int CConsolePipe::Kill() {
  std::lock_guard lock(state_mu_);
  if (reaped_) {
    tav::set_last_error(ESRCH);
    return 0;
  }
  // The pid stays ours until it is reaped, and reaping happens only under this lock, so the
  // signal cannot reach a recycled pid.
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid != 0) {
    tav::set_last_error(ESRCH);
    return 0;
  }
  if (kill(process, SIGKILL) != 0) {
    tav::set_last_error(static_cast<uint32_t>(errno));
    return 0;
  }
  kill_sent_ = true;
  return 1;
}

size_t CConsolePipe::WriteInput(const void* bytes, size_t count) {
  if (bytes == nullptr && count != 0) {
    tav::set_last_error(EINVAL);
    return 0;
  }
  std::lock_guard lock(stdin_mu_);
  if (!stdin_write.valid()) {
    tav::set_last_error(EBADF);
    return 0;
  }
  const char* data = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < count) {
    ssize_t n = write_without_sigpipe(stdin_write.get(), data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      tav::set_last_error(static_cast<uint32_t>(errno));
      break;
    }
    // The pipe is full: wait for room, or for the run to be stopped.
    pollfd fds[2] = {{stdin_write.get(), POLLOUT, 0}, {stop_event.get(), POLLIN, 0}};
    if (poll(fds, stop_event.valid() ? 2 : 1, -1) < 0 && errno != EINTR) {
      tav::set_last_error(static_cast<uint32_t>(errno));
      break;
    }
    if (stop_event.valid() && (fds[1].revents & POLLIN)) {
      tav::set_last_error(ECANCELED);
      break;
    }
  }
  return done;
}

void CConsolePipe::CloseStdIn() {
  std::lock_guard lock(stdin_mu_);
  stdin_write.reset();
}

int CConsolePipe::Wait() {
  if (t_listener_of == this) {
    tav::set_last_error(EDEADLK);
    return 0;
  }
  if (listen_thread.joinable()) listen_thread.join();
  reap_blocking();
  close_descriptors();
  return 1;
}

int CConsolePipe::ExitStatus() const {
  std::lock_guard lock(state_mu_);
  return exit_status_;
}

bool CConsolePipe::Succeeded() const { return ExitStatus() == 0; }

void CConsolePipe::FlushOutput(const char* /*line*/) {}

void CConsolePipe::ProcessEnded() {}

int CConsolePipe::CleanUp() {
  if (t_listener_of == this) {
    // The listener sees the stop once the handler returns; its own pipe end it closes itself.
    stop_listener();
    CloseStdIn();
    return 1;
  }
  if (listen_thread.joinable()) {
    stop_listener();
    std::unique_lock lock(state_mu_);
    if (!listener_done_cv_.wait_for(lock, kListenerStopTimeout, [this] { return listener_done_; })) {
      tav::set_last_error(ETIMEDOUT);
      return 0;
    }
    lock.unlock();
    listen_thread.join();
  }
  close_descriptors();
  reap_if_exited();
  return 1;
}

void CConsolePipe::stop_listener() {
  if (!stop_event.valid()) return;
  const uint64_t one = 1;
  ssize_t ignored = ::write(stop_event.get(), &one, sizeof one);
  (void)ignored;  // an eventfd counter full of stops is still a stop
}

void CConsolePipe::close_descriptors() {
  {
    // WriteInput polls stop_event under this lock as well.
    std::lock_guard lock(stdin_mu_);
    stdin_write.reset();
    stop_event.reset();
  }
  stdout_read.reset();
  child_fd_.reset();
}

void CConsolePipe::ListenerMain() {
  t_listener_of = this;
  int result;
  try {
    result = ListenThread();
  } catch (...) {
    result = -1;  // a handler threw: the run ends as after a read error
  }
  (void)result;  // 0 normal end, -1 read error, 1 stopped: the handlers need not tell them apart
  reap_if_exited();
  try {
    ProcessEnded();
  } catch (...) {
  }
  stdout_read.reset();
  t_listener_of = nullptr;
  std::lock_guard lock(state_mu_);
  listener_done_ = true;
  listener_done_cv_.notify_all();
}

int CConsolePipe::ListenThread() {
  line_length = 0;
  line_end = '\n';
  bool output_open = true;
  auto last_child_check = std::chrono::steady_clock::now();
  for (;;) {
    // Slot order: stop, child's end (when a pidfd exists), output (while open).
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {stop_event.get(), POLLIN, 0};
    const nfds_t child_slot = child_fd_.valid() ? count : 0;
    if (child_fd_.valid()) fds[count++] = {child_fd_.get(), POLLIN, 0};
    const nfds_t output_slot = output_open ? count : 0;
    if (output_open) fds[count++] = {stdout_read.get(), POLLIN, 0};

    int ready = poll(fds, count, child_fd_.valid() ? -1 : kChildPollMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[0].revents & POLLIN) return 1;
    if (output_slot != 0 && fds[output_slot].revents != 0) {
      int r = ReadOutput();
      if (r < 0) return -1;
      if (r == 0) {
        // The output has ended: a last line without a separator still counts.
        FlushPartialLine();
        output_open = false;
      }
    }
    // Look for the child's end when woken for it, when the output has ended or has been quiet,
    // and at least every kChildPollMs while output keeps coming.
    auto now = std::chrono::steady_clock::now();
    bool child_woke = child_slot != 0 && fds[child_slot].revents != 0;
    if (child_woke || ready == 0 || !output_open ||
        now - last_child_check >= std::chrono::milliseconds(kChildPollMs)) {
      last_child_check = now;
      if (child_has_exited()) {
        // What the child left in the pipe is handled; a grandchild that holds the pipe open
        // cannot keep the listener.
        if (output_open && DrainOutput() < 0) return -1;
        FlushPartialLine();
        return 0;
      }
    }
  }
}

int CConsolePipe::ReadOutput() {
  char buffer[kReadChunk];
  for (;;) {
    ssize_t n = ::read(stdout_read.get(), buffer, sizeof buffer);
    if (n > 0) {
      HandleBytes(buffer, static_cast<size_t>(n));
      return 1;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EAGAIN ? 1 : -1;
  }
}

int CConsolePipe::DrainOutput() {
  int available = 0;
  if (ioctl(stdout_read.get(), FIONREAD, &available) != 0) return -1;
  char buffer[kReadChunk];
  while (available > 0) {
    size_t want = std::min(sizeof buffer, static_cast<size_t>(available));
    ssize_t n = ::read(stdout_read.get(), buffer, want);
    if (n > 0) {
      HandleBytes(buffer, static_cast<size_t>(n));
      available -= static_cast<int>(n);
      continue;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EAGAIN ? 1 : -1;
  }
  return 1;
}

void CConsolePipe::HandleBytes(const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    // line_end is read for every byte: a handler may change it between two lines.
    char c = bytes[i];
    if (c == line_end || c == '\r' || c == '\b') {
      FlushPartialLine();
      continue;
    }
    line[line_length++] = c;
    // A line longer than the buffer goes out in pieces of kLineBufferSize - 1 characters, so
    // the terminator always fits.
    if (line_length == kLineBufferSize - 1) FlushPartialLine();
    assert(line_length < kLineBufferSize - 1);
  }
}

void CConsolePipe::FlushPartialLine() {
  if (line_length == 0) return;  // empty lines are not passed on
  line[line_length] = '\0';
  line_length = 0;
  FlushOutput(line);
}

bool CConsolePipe::child_has_exited() {
  std::lock_guard lock(state_mu_);
  if (reaped_) return true;
  siginfo_t info = {};
  if (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno == ECHILD;  // reaped elsewhere in the process: it has certainly ended
  }
  return info.si_pid != 0;
}

void CConsolePipe::reap_if_exited() {
  std::lock_guard lock(state_mu_);
  if (reaped_) return;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(process, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == process) {
    exit_status_ = status_code(status);
    reaped_ = true;
  } else if (r < 0 && errno == ECHILD) {
    exit_status_ = -1;  // someone else collected it; the status is unknown
    reaped_ = true;
  }
}

void CConsolePipe::reap_blocking() {
  pid_t pid;
  {
    std::lock_guard lock(state_mu_);
    if (reaped_) return;
    pid = process;
  }
  // Wait without reaping, outside the lock (Kill must stay callable); the reap itself happens
  // under the lock. Only the controlling thread and the listener reap, and the listener has
  // ended or only reaps an exited child, so `pid` cannot be reused meanwhile.
  siginfo_t info = {};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  reap_if_exited();
}

void CConsolePipe::end_child_for_good() {
  reap_if_exited();
  {
    std::lock_guard lock(state_mu_);
    if (reaped_) return;
    kill(process, SIGKILL);
    kill_sent_ = true;
  }
  reap_blocking();
}

namespace tav {

std::vector<std::string> split_command_line(const char* command_line) {
  std::vector<std::string> args;
  if (command_line == nullptr) return args;
  const char* p = command_line;
  auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
      if (*p == '\\') {
        size_t backslashes = 0;
        while (*p == '\\') {
          ++backslashes;
          ++p;
        }
        if (*p == '"') {
          arg.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            arg += '"';
            ++p;
          }
        } else {
          arg.append(backslashes, '\\');
        }
        continue;
      }
      if (*p == '"') {
        quoted = !quoted;
        ++p;
        continue;
      }
      arg += *p++;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

// True when `path` is a regular file this process may execute; *denied is set when something
// else (or a file without execute permission) is there.
bool is_runnable_file(const std::string& path, bool* denied) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0) return true;
  *denied = true;
  return false;
}

}  // namespace

std::string find_program(const std::string& name, int* error) {
  if (error != nullptr) *error = 0;
  bool denied = false;
  if (name.find('/') != std::string::npos) {
    if (is_runnable_file(name, &denied)) return name;
  } else {
    const char* path = getenv("PATH");
    const std::string dirs = path ? path : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
      const size_t end = dirs.find(':', start);
      const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
      std::string file = (dir.empty() ? std::string(".") : dir) + "/" + name;
      if (is_runnable_file(file, &denied)) return file;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  if (error != nullptr) *error = denied ? EACCES : ENOENT;
  return {};
}

}  // namespace tav
