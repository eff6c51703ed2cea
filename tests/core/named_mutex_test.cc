// Tests of the named mutexes: lock files in the run directory, exclusion between processes,
// objects and threads, "already existed" under racing openers, release when a holder dies, and
// timed waits.
#include "core/named_mutex.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/scoped_env.h"

namespace {

using tav::NamedMutex;
using tav::sysutil_test::Child;
using tav::sysutil_test::receive_byte;
using tav::sysutil_test::send_byte;
using tav::sysutil_test::TempDir;

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  TempDir dir_;
  // Below the temporary directory and not there yet, so opening must create it.
  std::string run_dir_ = dir_.file("run/locks");
  tav::test::ScopedEnv run_dir_env_{"TAV_RUN_DIR", run_dir_.c_str()};
};

TEST(NamedMutexNameTest, LockFileNamesStayInsideTheRunDirectory) {
  struct Case { std::string name; std::string file; } cases[] = {
      {"BLOOM_Schedule_Data_Mutex", "BLOOM_Schedule_Data_Mutex"},
      {"Global\\TAV_WIN_GUI_Mutex", "Global_TAV_WIN_GUI_Mutex"},
      {"../../etc/passwd", ".._.._etc_passwd"},
      {".", "_"},
      {"..", "__"},
      {std::string("a\0b", 3), "a_b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(NamedMutex::lock_file_name(c.name), c.file);
  }
}

TEST_F(NamedMutexTest, OpenCreatesPrivateFilesWithoutLocking) {
  const mode_t mask = ::umask(0);
  NamedMutex mutex;
  const bool opened = mutex.open("Tavbloom_Log_Mutex");
  ::umask(mask);
  ASSERT_TRUE(opened) << tav::get_last_error();
  EXPECT_EQ(mutex.path(), run_dir_ + "/Tavbloom_Log_Mutex");
  for (const std::string& file : {mutex.path(), mutex.path() + ".ref"}) {
    SCOPED_TRACE(file);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);  // the umask did not widen it
  }
  NamedMutex other;
  ASSERT_TRUE(other.open("Tavbloom_Log_Mutex"));
  EXPECT_TRUE(other.try_lock());  // opening took no lock
  EXPECT_TRUE(other.unlock());
}

TEST_F(NamedMutexTest, OpenAndLockFailuresCarryTheReason) {
  NamedMutex mutex;
  struct Case { std::string name; uint32_t err; } cases[] = {
      {"", EINVAL},
      {std::string(300, 'n'), ENAMETOOLONG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.size());
    EXPECT_FALSE(mutex.open(c.name));
    EXPECT_EQ(tav::get_last_error(), c.err);
    EXPECT_FALSE(mutex.is_open());
  }
  EXPECT_FALSE(mutex.lock());
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EBADF));
  EXPECT_FALSE(mutex.unlock());
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EPERM));

  // A link planted where the lock file goes is not followed.
  ASSERT_EQ(TavCreateDir(run_dir_.c_str(), 0), 1);
  ASSERT_EQ(::symlink(dir_.file("elsewhere").c_str(), (run_dir_ + "/planted").c_str()), 0);
  EXPECT_FALSE(mutex.open("planted"));
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ELOOP));
  EXPECT_FALSE(tav::sysutil_test::exists_no_follow(dir_.file("elsewhere")));
}

TEST_F(NamedMutexTest, AlreadyExistedWhileAnotherObjectHasItOpen) {
  auto first = std::make_unique<NamedMutex>();
  ASSERT_TRUE(first->open("TAV_WIN_GUI_Mutex"));
  EXPECT_FALSE(first->already_existed());
  auto second = std::make_unique<NamedMutex>();
  ASSERT_TRUE(second->open("TAV_WIN_GUI_Mutex"));
  EXPECT_TRUE(second->already_existed());
  first.reset();
  NamedMutex third;
  ASSERT_TRUE(third.open("TAV_WIN_GUI_Mutex"));
  EXPECT_TRUE(third.already_existed());  // the second is still open
  second.reset();
  third.close();
  ASSERT_TRUE(third.open("TAV_WIN_GUI_Mutex"));
  EXPECT_FALSE(third.already_existed());  // the files remain, but nobody had it open
}

TEST_F(NamedMutexTest, AlreadyExistedAcrossProcesses) {
  Child holder([](int to_parent, int from_parent) {
    NamedMutex mutex;
    if (!mutex.open("BLOOM_Schedule_Data_Mutex")) return 1;
    send_byte(to_parent, 'o');
    receive_byte(from_parent);
    return 0;
  });
  ASSERT_TRUE(holder.started());
  ASSERT_EQ(holder.receive(), 'o');
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("BLOOM_Schedule_Data_Mutex"));
  EXPECT_TRUE(mutex.already_existed());
  mutex.close();
  holder.send('x');
  EXPECT_EQ(holder.wait(), 0);
  ASSERT_TRUE(mutex.open("BLOOM_Schedule_Data_Mutex"));
  EXPECT_FALSE(mutex.already_existed());
}

TEST_F(NamedMutexTest, RacingOpenersSeeExactlyOneFirst) {
  // Every opener stays open until all have answered, so exactly one may find it new. A probe
  // slipping into another opener's lock conversion would make two answer "new".
  constexpr int kRounds = 10;
  constexpr int kOpeners = 6;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "Race_" + std::to_string(round);
    std::vector<std::unique_ptr<Child>> openers;
    for (int i = 0; i < kOpeners; ++i) {
      openers.push_back(std::make_unique<Child>([&](int to_parent, int from_parent) {
        receive_byte(from_parent);
        NamedMutex mutex;
        if (!mutex.open(name)) return 1;
        send_byte(to_parent, mutex.already_existed() ? 'e' : 'n');
        receive_byte(from_parent);
        return 0;
      }));
      ASSERT_TRUE(openers.back()->started());
    }
    for (auto& opener : openers) opener->send('g');
    int fresh = 0;
    for (auto& opener : openers) {
      const int answer = opener->receive();
      ASSERT_TRUE(answer == 'e' || answer == 'n') << answer;
      if (answer == 'n') ++fresh;
    }
    EXPECT_EQ(fresh, 1);
    for (auto& opener : openers) opener->send('x');
    for (auto& opener : openers) EXPECT_EQ(opener->wait(), 0);
  }
}

TEST_F(NamedMutexTest, ExcludesAnotherProcessUntilUnlocked) {
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Exclusive"));
  ASSERT_TRUE(mutex.lock());
  Child waiter([](int to_parent, int) {
    NamedMutex mine;
    if (!mine.open("Exclusive")) return 1;
    if (mine.try_lock() || tav::get_last_error() != EWOULDBLOCK) return 2;
    if (mine.lock_for(20) || tav::get_last_error() != ETIMEDOUT) return 3;
    send_byte(to_parent, 'w');
    if (!mine.lock()) return 4;
    send_byte(to_parent, 'g');
    return mine.unlock() ? 0 : 5;
  });
  ASSERT_TRUE(waiter.started());
  ASSERT_EQ(waiter.receive(), 'w');
  EXPECT_FALSE(waiter.message_waiting());  // still waiting while this process holds it
  ASSERT_TRUE(mutex.unlock());
  EXPECT_EQ(waiter.receive(), 'g');
  EXPECT_EQ(waiter.wait(), 0);
}

// The counter file holds a fixed-width decimal number, rewritten in place (no truncation, which
// makes some file systems flush at every close).
int read_counter(const std::string& path) {
  std::ifstream in(path);
  int value = -1;
  in >> value;
  return value;
}

bool write_counter(const std::string& path, int value) {
  std::fstream out(path, std::ios::in | std::ios::out);
  char text[16];
  std::snprintf(text, sizeof text, "%010d", value);
  out << text;
  return static_cast<bool>(out);
}

// Read-modify-write of the counter under the mutex, yielding between read and write so an
// unprotected update would be lost.
int bump_counter(const std::string& counter, int times) {
  NamedMutex mutex;
  if (!mutex.open("Counter")) return 1;
  for (int i = 0; i < times; ++i) {
    if (!mutex.lock()) return 2;
    const int value = read_counter(counter);
    sched_yield();
    if (value < 0 || !write_counter(counter, value + 1)) return 3;
    if (!mutex.unlock()) return 4;
  }
  return 0;
}

TEST_F(NamedMutexTest, NoUpdateIsLostBetweenProcesses) {
  constexpr int kTimes = 300;
  const std::string counter = dir_.file("counter");
  std::ofstream(counter) << "0000000000";
  Child a([&](int, int) { return bump_counter(counter, kTimes); });
  Child b([&](int, int) { return bump_counter(counter, kTimes); });
  ASSERT_TRUE(a.started() && b.started());
  EXPECT_EQ(bump_counter(counter, kTimes), 0);
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  EXPECT_EQ(read_counter(counter), 3 * kTimes);
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderIsKilled) {
  Child holder([](int to_parent, int from_parent) {
    NamedMutex mutex;
    if (!mutex.open("Crashing") || !mutex.lock()) return 1;
    send_byte(to_parent, 'l');
    receive_byte(from_parent);  // held until killed
    return 0;
  });
  ASSERT_TRUE(holder.started());
  ASSERT_EQ(holder.receive(), 'l');
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Crashing"));
  EXPECT_FALSE(mutex.try_lock());
  ASSERT_EQ(::kill(holder.pid(), SIGKILL), 0);
  EXPECT_EQ(holder.wait(), 128 + SIGKILL);
  EXPECT_TRUE(mutex.try_lock());
  EXPECT_TRUE(mutex.unlock());
}

TEST_F(NamedMutexTest, TimedLockGivesUpWhileHeldElsewhere) {
  NamedMutex holder, waiter;
  ASSERT_TRUE(holder.open("Timed"));
  ASSERT_TRUE(waiter.open("Timed"));
  ASSERT_TRUE(holder.lock());
  for (int timeout_ms : {0, 30}) {
    SCOPED_TRACE(timeout_ms);
    EXPECT_FALSE(waiter.lock_for(timeout_ms));
    EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ETIMEDOUT));
  }
  EXPECT_FALSE(waiter.try_lock());
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EWOULDBLOCK));
  ASSERT_TRUE(holder.unlock());
  EXPECT_TRUE(waiter.lock_for(30));
  EXPECT_TRUE(waiter.unlock());
}

TEST_F(NamedMutexTest, ThreadsSharingOneObjectExcludeEachOtherAndOwnersMayRelock) {
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Shared"));
  ASSERT_TRUE(mutex.lock());
  ASSERT_TRUE(mutex.lock());  // the owner locks again
  auto other_thread = [&](bool expect_free) {
    bool ok = true;
    std::thread t([&] {
      if (expect_free) {
        ok = mutex.try_lock() && mutex.unlock();
        return;
      }
      ok = !mutex.try_lock() && tav::get_last_error() == EWOULDBLOCK && !mutex.lock_for(5) &&
           !mutex.unlock() && tav::get_last_error() == EPERM;
    });
    t.join();
    return ok;
  };
  EXPECT_TRUE(other_thread(false));
  ASSERT_TRUE(mutex.unlock());
  EXPECT_TRUE(other_thread(false));  // one lock still held
  ASSERT_TRUE(mutex.unlock());
  EXPECT_TRUE(other_thread(true));

  // Plain increments by several threads through the one object lose nothing.
  constexpr int kThreads = 4;
  constexpr int kTimes = 2000;
  int counter = 0;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < kTimes; ++n) {
        if (!mutex.lock()) { ++failures; return; }
        ++counter;
        if (!mutex.unlock()) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(counter, kThreads * kTimes);
}

TEST_F(NamedMutexTest, DestroyingTheHolderReleasesTheMutex) {
  NamedMutex waiter;
  ASSERT_TRUE(waiter.open("Scoped"));
  {
    NamedMutex holder;
    ASSERT_TRUE(holder.open("Scoped"));
    ASSERT_TRUE(holder.lock());
    ASSERT_TRUE(holder.lock());
    EXPECT_FALSE(waiter.try_lock());
  }
  EXPECT_TRUE(waiter.try_lock());
  EXPECT_TRUE(waiter.unlock());
}

}  // namespace
