// Where the suite's own files live: the program directory ("Settings.ini", "scheduler.xml",
// "log/", "lang/", "Trace/", tool programs) and the run directory (lock files of named mutexes).
#pragma once

#include <string>

#include "core/status.h"

namespace tav {

// The program directory, always ending in '/': $TAV_HOME when it is set and not empty (tests set
// it to a temporary directory); otherwise the directory of the running executable, or its parent
// when that directory is named "bin". Read from the environment on every call, so a test may
// change TAV_HOME between cases. Empty only when the executable's path cannot be read.
std::string program_dir();

// program_dir() + name, e.g. program_file("Settings.ini").
std::string program_file(const std::string& name);

// A program of the suite (a daemon, a tool): "<program dir>name" when that is an executable
// regular file, else "<program dir>bin/name" when that is one (builds and installs keep their
// executables in bin/); empty when neither is.
std::string suite_program(const std::string& name);

// The directory of the running executable ending in '/' (empty when it cannot be read).
std::string executable_dir();

// The executable's file name without its directory ("tav", "core_tests").
std::string executable_name();

// Directory for lock files of named mutexes, ending in '/': $TAV_RUN_DIR when set and not empty;
// else "/run/tav/" for root and "$XDG_RUNTIME_DIR/tav/" (or "/tmp/tav-<uid>/") for other users.
// The directory is not created here.
std::string run_dir();

// Makes run_dir() a private directory of the calling user before anything is put in it: created
// with its missing parents, itself mode 0700. An existing one must be a real directory (not a
// symbolic link) owned by the effective user; one whose mode lets others in is narrowed to 0700
// and the files directly in it to 0600. Another owner or anything that is not a directory is
// refused, with a message that names the path and what to do, and the errno value in the
// thread's last error (EPERM for another owner, ENOTDIR for a non-directory). Every program
// that puts a lock file or a socket in the run directory calls this first.
Status prepare_run_dir();
// The same for any directory: the rule above applied to `dir`.
Status prepare_private_dir(const std::string& dir);

}  // namespace tav
