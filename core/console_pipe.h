// CConsolePipe: runs a console program with its standard input on a pipe and its standard output
// and error together on a second pipe, and hands each line it prints to a virtual handler on a
// listener thread. Core library (TavPub); used by the restore engine's tool runner and the disc
// tools, which subclass it to parse tool output.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/file_utils.h"

// One object runs one child at a time and owns it: the child is reaped with waitpid (never left
// as a zombie), and a child still running when the object is destroyed is killed (SIGKILL) and
// reaped.
//
// Threads. The controlling thread calls Launch, Wait, CleanUp, CloseStdIn, the move operations
// and the destructor; these must not run concurrently with each other. Kill, ExitStatus,
// Succeeded and WriteInput may be called from any thread, the handlers included. FlushOutput
// and ProcessEnded run on the listener thread; a subclass that shares data with other threads
// must guard it, or launch with `wait` set.
//
// A handler may call Kill and WriteInput; it must not destroy the object. A handler that writes
// more input than the pipe holds (64 KiB) while the child waits for its output to be read
// blocks both for good.
//
// Subclasses whose handlers touch their own members must call Wait() or CleanUp() in their own
// destructor: the base destructor stops the listener too, but by then the subclass part is gone
// and a handler call would reach the base version on a half-destroyed object.
class CConsolePipe {
 public:
  // Bytes of `line`: a line of up to 1023 characters plus its terminator.
  static constexpr int kLineBufferSize = 1024;

  CConsolePipe();
  virtual ~CConsolePipe();

  // Copies would share the pipes, the child and the listener: not copyable.
  CConsolePipe(const CConsolePipe&) = delete;
  CConsolePipe& operator=(const CConsolePipe&) = delete;

  // Moving is allowed only while no listener exists (never launched, or after Wait/CleanUp),
  // since the listener holds `this`. A move from or onto an object whose listener exists is
  // refused (asserted in debug builds): the source keeps its run and the target is left as it
  // was (an empty object for the constructor). Move assignment first ends the target's own child
  // as the destructor would.
  CConsolePipe(CConsolePipe&& other) noexcept;
  CConsolePipe& operator=(CConsolePipe&& other) noexcept;

  // Starts argv[0] with the arguments argv[1..]; no shell is involved and nothing is quoted.
  // A name without '/' is searched in PATH. The child gets a pipe as standard input, one pipe
  // for standard output and error, default signal handling, and no other descriptor of this
  // process. A previous run is cleaned up first; a previous child killed by Kill() is waited for,
  // one still running on its own makes the launch fail. With `wait` the call returns once the
  // child has exited, all its output was handled and it was reaped (as Wait()).
  // Returns 1 when the child was started; 0 otherwise, with the reason in the thread's last
  // error (errno values: ENOENT or EACCES for a program that cannot be run, EINVAL for an empty
  // argv, EBUSY when this object's previous child still runs or its listener did not stop,
  // EDEADLK when called from a handler). After a 0 neither handler is called.
  int Launch(const std::vector<std::string>& argv, bool wait);

  // The single command line form: `command_line` is split into arguments as the usual console
  // rules do, without a shell: blanks separate arguments outside double quotes; a double quote
  // opens or closes a quoted part and is dropped; 2n backslashes before a double quote give n
  // backslashes, 2n+1 give n and a literal double quote; other backslashes are kept as they are.
  // Then as Launch(argv, wait). Null or blank input fails with EINVAL.
  int Launch(const char* command_line, bool wait);

  // Sends SIGKILL to this object's child. 1 when the child was still running and the signal was
  // sent; 0 when there is no child, it has already exited, or the signal failed (last error
  // ESRCH or errno). The listener then sees the child end and finishes as usual.
  int Kill();

  // Writes `count` bytes to the child's standard input. Returns the bytes written: `count`, or
  // fewer (0 on immediate failure) with the last error set: EPIPE when the child no longer reads
  // its input (no SIGPIPE is raised, and signal dispositions are left alone), EBADF when input
  // is closed or nothing runs, ECANCELED when the listener is being stopped while the write
  // waits for room in the pipe.
  size_t WriteInput(const void* bytes, size_t count);

  // Closes our end of the child's standard input, so the child reads end of input. Waits for a
  // WriteInput in progress on another thread.
  void CloseStdIn();

  // Blocks until the listener has ended and the child has exited and been reaped, then closes
  // the pipes. Returns 1; 0 with EDEADLK when called from a handler. With nothing launched it
  // returns 1 at once.
  int Wait();

  // The child's exit code, 128 + the signal number for a child ended by a signal, or -1 while it
  // runs, before any launch, or when the status could not be collected (another part of the
  // process reaped it).
  int ExitStatus() const;
  // True when the child exited with status 0.
  bool Succeeded() const;

 protected:
  // Called on the listener thread with each line, terminated and not empty. Nothing in the base
  // class. The text is valid during the call only.
  virtual void FlushOutput(const char* line);
  // Called on the listener thread once it ends: after the child exited and its output was
  // handled (ExitStatus() is then known), or after it was stopped, or after a read error.
  // Nothing in the base class.
  virtual void ProcessEnded();

  // Ends the current run without waiting for the child: stops the listener (it notices the stop
  // at once, between two pieces of output) and waits up to 5 seconds for it, closes the pipes,
  // and reaps the child when it has exited. A running child is not killed. Returns 1; 0 with
  // ETIMEDOUT when a handler kept the listener busy for 5 seconds (the run is then left as it
  // is; a later CleanUp, Wait or the destructor finishes it). Called from a handler it only asks
  // the listener to stop after the handler returns, and closes the child's input.
  int CleanUp();

  // The separator that ends a line besides carriage return and backspace (8). Each run starts
  // with '\n'; a handler may change it for the lines that follow (listener thread only).
  char line_end = '\n';

 private:
  // Reads what the pipe holds and cuts it into lines. 1 when bytes were handled (or none were
  // ready), 0 when the output has ended, -1 on a read error.
  int ReadOutput();
  // Reads at most the bytes the pipe held when called; used once the child has exited, so a
  // grandchild that keeps the pipe open cannot hold the listener.
  int DrainOutput();
  void HandleBytes(const char* bytes, size_t count);
  void FlushPartialLine();
  // The listener's body: 0 normal end, -1 read error, 1 stopped.
  int ListenThread();
  void ListenerMain();

  void stop_listener();
  void close_descriptors();
  // Child bookkeeping; every one takes state_mu_.
  bool child_has_exited();
  void reap_if_exited();
  void reap_blocking();
  void end_child_for_good();
  void take_from(CConsolePipe& other);

  // Set by the controlling thread; the listener reads them while it exists and closes
  // `stdout_read` at its end.
  pid_t process = -1;            // the child, valid until reaped_ (written under state_mu_)
  tav::UniqueFd stop_event;      // eventfd; readable once the listener is asked to stop
  tav::UniqueFd stdout_read;     // parent's end of the child's output and error
  tav::UniqueFd child_fd_;       // pidfd of the child (none where the kernel lacks them)
  std::thread listen_thread;

  // Guarded by stdin_mu_ (WriteInput may be called from the handlers), and so is closing
  // stop_event, which WriteInput polls.
  std::mutex stdin_mu_;
  tav::UniqueFd stdin_write;     // parent's end of the child's input, non-blocking

  // Listener thread only, while it runs.
  char line[kLineBufferSize] = {};
  int line_length = 0;

  // Guarded by state_mu_.
  mutable std::mutex state_mu_;
  std::condition_variable listener_done_cv_;
  bool listener_done_ = true;  // the listener's body has finished (or none was started)
  bool reaped_ = true;         // `process` has been reaped, or there is none
  bool kill_sent_ = false;     // Kill() signalled the current child
  int exit_status_ = -1;
};

namespace tav {

// Splits a command line into arguments by the rules of CConsolePipe::Launch(const char*, bool).
// An unterminated quote ends at the end of the text.
std::vector<std::string> split_command_line(const char* command_line);

// The file exec would run for `name`, found as CConsolePipe::Launch finds its program: `name`
// itself when it holds a '/', else the first "<dir>/<name>" over PATH's directories (an empty
// entry is the working directory; "/bin:/usr/bin" when PATH is unset) that is a regular file this
// process may execute. Empty when there is none, with *error (optional) set as exec would report
// it: EACCES when something of that name was found but cannot be run, else ENOENT.
std::string find_program(const std::string& name, int* error = nullptr);

}  // namespace tav
