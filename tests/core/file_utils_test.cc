// Tests of the file and directory helpers: kinds and sizes, deletion of read-only files and
// trees, directory creation, the guards of recursive deletion (refused targets, symbolic links,
// mounts inside the tree), and whole-file reads and atomic writes.
#include "core/file_utils.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"
#include "tests/core/file_utils_test_support.h"

namespace {

using tav::sysutil_test::Child;
using tav::sysutil_test::exists_no_follow;
using tav::sysutil_test::make_file;
using tav::sysutil_test::send_byte;
using tav::sysutil_test::TempDir;

constexpr uid_t kNobody = 65534;

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs `body` in a child process that, when this process is root, first becomes the unprivileged
// user owning `dir` (so permission bits really apply); otherwise as this user. The body sends
// the last error as one byte before returning a nonzero step number. Returns the exit code and
// stores that byte in *err.
int run_unprivileged(const std::string& dir, const std::function<int(int to_parent)>& body, int* err) {
  const bool root = ::getuid() == 0;
  if (root && ::chown(dir.c_str(), kNobody, kNobody) != 0) return 200;
  Child child([&](int to_parent, int) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 201;
    return body(to_parent);
  });
  if (!child.started()) return 202;
  const int code = child.wait();
  *err = child.receive();
  return code;
}

// Reports a failed step of a child body: the last error goes to the parent, `step` is the exit.
int child_fails(int to_parent, int step) {
  send_byte(to_parent, static_cast<char>(tav::get_last_error()));
  return step;
}

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::string path(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

TEST_F(FileUtilsTest, GetFileSizeRoundsUpToTheUnit) {
  struct Case { uint64_t bytes; unsigned unit; uint64_t want; } cases[] = {
      {1, 4096, 4096},
      {4097, 4096, 8192},
      {0, 4096, 0},  // 0 is a multiple
      {4096, 4096, 4096},
      {4097, 0, 4097},  // unit 0: exact
      {(1ull << 40) + 1, 4096, (1ull << 40) + 4096},  // beyond 32 bits (sparse file)
      {1000, 3, 1002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " bytes, unit " + std::to_string(c.unit));
    const std::string file = path("sized");
    ASSERT_TRUE(make_file(file, ""));
    ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(c.bytes)), 0);
    uint64_t size = 7;
    EXPECT_EQ(TavGetFileSize(file.c_str(), size, c.unit), 1);
    EXPECT_EQ(size, c.want);
  }
}

TEST_F(FileUtilsTest, GetFileSizeFailsForDirectoriesAndMissingPathsWithSizeZero) {
  struct Case { std::string path; uint32_t err; } cases[] = {
      {dir_.path(), EISDIR},
      {path("missing"), ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    uint64_t size = 12345;
    EXPECT_EQ(TavGetFileSize(c.path.c_str(), size, 512), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(tav::get_last_error(), c.err);
  }
}

TEST_F(FileUtilsTest, IsDirAndIsFileTellTheKindWithTheReason) {
  ASSERT_TRUE(make_file(path("file")));
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(path("dir").c_str(), path("link_to_dir").c_str()), 0);
  ASSERT_EQ(::symlink(path("gone").c_str(), path("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  struct Case { const char* name; int is_dir; uint32_t dir_err; int is_file; uint32_t file_err; } cases[] = {
      {"dir", 1, 0, 0, EISDIR},
      {"link_to_dir", 1, 0, 0, EISDIR},
      {"file", 0, ENOTDIR, 1, 0},
      {"fifo", 0, ENOTDIR, 1, 0},
      {"missing", 0, ENOENT, 0, ENOENT},
      {"dangling", 0, ENOENT, 0, ENOENT},
      {"file/below", 0, ENOTDIR, 0, ENOTDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = path(c.name);
    tav::set_last_error(0);
    EXPECT_EQ(TavIsDir(p.c_str()), c.is_dir);
    if (c.is_dir == 0) {
      EXPECT_EQ(tav::get_last_error(), c.dir_err);
    }
    tav::set_last_error(0);
    EXPECT_EQ(TavIsFile(p.c_str()), c.is_file);
    if (c.is_file == 0) {
      EXPECT_EQ(tav::get_last_error(), c.file_err);
    }
  }
  EXPECT_EQ(TavIsDir(nullptr), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EINVAL));
}

TEST_F(FileUtilsTest, IsFileReadableOpensWithoutBlockingAndRefusesDirectories) {
  ASSERT_TRUE(make_file(path("file")));
  // Opening a FIFO for reading would wait for a writer; the check must not hang on one.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  struct Case { std::string path; int want; uint32_t err; } cases[] = {
      {path("file"), 1, 0},
      {path("fifo"), 1, 0},
      {dir_.path(), 0, EISDIR},
      {path("missing"), 0, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(TavIsFileReadable(c.path.c_str()), c.want);
    if (c.want == 0) {
      EXPECT_EQ(tav::get_last_error(), c.err);
    }
  }
}

TEST_F(FileUtilsTest, RemoveFileDeletesFilesAndLinksButNotDirectories) {
  ASSERT_TRUE(make_file(path("read_only"), "x", 0444));
  ASSERT_TRUE(make_file(path("target")));
  ASSERT_EQ(::symlink(path("target").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(::mkdir(path("dir").c_str(), 0755), 0);

  EXPECT_EQ(TavRemoveFile(path("read_only").c_str()), 1);
  EXPECT_FALSE(exists_no_follow(path("read_only")));
  EXPECT_EQ(TavRemoveFile(path("link").c_str()), 1);
  EXPECT_FALSE(exists_no_follow(path("link")));
  EXPECT_TRUE(exists_no_follow(path("target")));  // the link went, not what it named

  EXPECT_EQ(TavRemoveFile(path("dir").c_str()), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EISDIR));
  EXPECT_TRUE(exists_no_follow(path("dir")));
  EXPECT_EQ(TavRemoveFile(path("missing").c_str()), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ENOENT));

  // Root ignores permission bits; an ordinary user deletes a read-only file too.
  int err = 0;
  const int code = run_unprivileged(dir_.path(), [&](int to_parent) {
    if (!make_file(path("mine"), "m", 0400)) return child_fails(to_parent, 1);
    if (TavRemoveFile(path("mine").c_str()) != 1) return child_fails(to_parent, 2);
    return exists_no_follow(path("mine")) ? 3 : 0;
  }, &err);
  EXPECT_EQ(code, 0) << "step " << code << ", error " << err;
}

TEST_F(FileUtilsTest, CreateDirMakesParentsAndAcceptsAnExistingDirectory) {
  const mode_t mask = ::umask(022);
  const std::string deep = path("a/b/c");
  EXPECT_EQ(TavCreateDir((deep + "/").c_str(), 0), 1);
  EXPECT_EQ(tav::get_last_error(), 0u);
  EXPECT_EQ(TavIsDir(path("a/b").c_str()), 1);
  EXPECT_EQ(mode_of(deep), 0755u);  // mode 0: as created

  // Existing: success, last error says it was there, and a mode given is applied.
  EXPECT_EQ(TavCreateDir(deep.c_str(), 0710), 1);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EEXIST));
  EXPECT_EQ(mode_of(deep), 0710u);
  EXPECT_EQ(mode_of(path("a/b")), 0755u);  // only the path itself gets the mode
  ::umask(mask);
}

TEST_F(FileUtilsTest, CreateDirFailsWhereAFileIsInTheWay) {
  ASSERT_TRUE(make_file(path("file")));
  struct Case { std::string path; uint32_t err; } cases[] = {
      {path("file"), EEXIST},  // a file is not the directory asked for
      {path("file/sub"), ENOTDIR},
      {"", EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(TavCreateDir(c.path.c_str(), 0700), 0);
    EXPECT_EQ(tav::get_last_error(), c.err);
  }
  EXPECT_EQ(mode_of(path("file")), 0644u);  // untouched
}

// A tree whose files and directories deny writing, one directory denying everything, and a link.
int build_read_only_tree(const std::string& top) {
  if (::mkdir(top.c_str(), 0755) != 0) return 1;
  if (!make_file(top + "/ro_file", "a", 0444)) return 2;
  if (::mkdir((top + "/sub").c_str(), 0755) != 0 || ::mkdir((top + "/sub/deeper").c_str(), 0755) != 0) return 3;
  if (!make_file(top + "/sub/ro_file2", "b", 0444) || !make_file(top + "/sub/deeper/f", "c", 0400)) return 4;
  if (::mkdir((top + "/closed").c_str(), 0755) != 0 || !make_file(top + "/closed/g", "d", 0444)) return 5;
  if (::mkdir((top + "/empty").c_str(), 0555) != 0) return 6;
  if (::symlink("ro_file", (top + "/link").c_str()) != 0) return 7;
  if (::chmod((top + "/sub/deeper").c_str(), 0500) != 0 || ::chmod((top + "/sub").c_str(), 0555) != 0) return 8;
  if (::chmod((top + "/closed").c_str(), 0) != 0 || ::chmod(top.c_str(), 0555) != 0) return 9;
  return 0;
}

TEST_F(FileUtilsTest, DeleteDirRemovesATreeOfReadOnlyEntriesGivenWithATrailingSlash) {
  // As root permission bits do not stop anything, so the deletion runs as an ordinary user too.
  const std::string top = path("old");
  int err = 0;
  const int code = run_unprivileged(dir_.path(), [&](int to_parent) {
    if (build_read_only_tree(top) != 0) return child_fails(to_parent, 1);
    if (TavDeleteDir((top + "/ \t\r\n/").c_str(), 1) != 1) return child_fails(to_parent, 2);
    if (exists_no_follow(top)) return child_fails(to_parent, 3);
    return 0;
  }, &err);
  EXPECT_EQ(code, 0) << "step " << code << ", error " << err;

  // And as this process, with the same tree.
  ASSERT_EQ(build_read_only_tree(path("again")), 0);
  EXPECT_EQ(TavDeleteDir((path("again") + "/").c_str(), 1), 1) << tav::get_last_error();
  EXPECT_FALSE(exists_no_follow(path("again")));
}

TEST_F(FileUtilsTest, DeleteDirRefusesEmptyRelativeAndRootTargets) {
  ASSERT_EQ(::symlink("/", path("root_link").c_str()), 0);
  struct Case { std::string path; bool resolves_to_root; } cases[] = {
      {"", false},
      {" \t\r\n", false},
      {"relative/x", false},
      {"./x", false},
      {"/", true},
      {"//", true},
      {"/ /\t", true},
      {"/tmp/..", true},
      {"/tmp/../", true},
      {"/./.", true},
      {path("root_link") + "/.", true},
  };
  // Should a refusal ever break, a deletion of "/" must not run with this process's rights:
  // as root the rows run in a child that is an unprivileged user; otherwise they are skipped.
  const bool root = ::getuid() == 0;
  bool skipped = false;
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.path + "\"");
    if (!c.resolves_to_root) {
      EXPECT_EQ(TavDeleteDir(c.path.c_str(), 1), 0);
      EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EINVAL));
      continue;
    }
    if (!root) {
      skipped = true;
      continue;
    }
    for (int recursive : {1, 0}) {
      int err = 0;
      const int code = run_unprivileged(dir_.path(), [&](int to_parent) {
        if (TavDeleteDir(c.path.c_str(), recursive) != 0) return 1;
        return child_fails(to_parent, tav::get_last_error() == EINVAL ? 0 : 2);
      }, &err);
      EXPECT_EQ(code, 0) << "recursive " << recursive << ", error " << err;
    }
  }
  EXPECT_EQ(TavDeleteDir(nullptr, 1), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(EINVAL));
  if (skipped) GTEST_SKIP() << "rows that resolve to \"/\" need root (to run them as an unprivileged user)";
}

TEST_F(FileUtilsTest, DeleteDirRemovesLinksAndNeverWhatTheyPointTo) {
  const std::string outside = path("outside");
  const std::string top = path("tree");
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(make_file(outside + "/keep", "k", 0444));
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((top + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (top + "/dir_link").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/keep").c_str(), (top + "/sub/file_link").c_str()), 0);

  EXPECT_EQ(TavDeleteDir(top.c_str(), 1), 1) << tav::get_last_error();
  EXPECT_FALSE(exists_no_follow(top));
  EXPECT_TRUE(exists_no_follow(outside + "/keep"));
  EXPECT_EQ(mode_of(outside), 0755u);  // not made writable on the way either

  // A link given as the directory itself is not followed.
  ASSERT_EQ(::symlink(outside.c_str(), path("top_link").c_str()), 0);
  for (int recursive : {1, 0}) {
    SCOPED_TRACE(recursive);
    EXPECT_EQ(TavDeleteDir(path("top_link").c_str(), recursive), 0);
    EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ENOTDIR));
    EXPECT_TRUE(exists_no_follow(outside + "/keep"));
  }
}

TEST_F(FileUtilsTest, DeleteDirWithoutRecursionRemovesOnlyAnEmptyDirectory) {
  const std::string full = path("full");
  ASSERT_EQ(::mkdir(full.c_str(), 0755), 0);
  ASSERT_TRUE(make_file(full + "/f"));
  EXPECT_EQ(TavDeleteDir(full.c_str(), 0), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ENOTEMPTY));
  EXPECT_TRUE(exists_no_follow(full + "/f"));

  ASSERT_EQ(::mkdir(path("empty").c_str(), 0555), 0);
  EXPECT_EQ(TavDeleteDir((path("empty") + "/").c_str(), 0), 1);
  EXPECT_FALSE(exists_no_follow(path("empty")));
  EXPECT_EQ(TavDeleteDir(path("missing").c_str(), 1), 0);
  EXPECT_EQ(tav::get_last_error(), static_cast<uint32_t>(ENOENT));
}

// Exit codes of the mount child that mean "cannot mount here", not a failure.
constexpr int kNoMountNamespace = 77;
constexpr int kNoBindMount = 78;

TEST_F(FileUtilsTest, DeleteDirLeavesAMountInsideTheTreeAndFailsWithExdev) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to bind-mount a directory";
  const std::string source = path("source");
  const std::string top = path("tree");
  ASSERT_EQ(::mkdir(source.c_str(), 0755), 0);
  ASSERT_TRUE(make_file(source + "/keep"));
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((top + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((top + "/sub/mnt").c_str(), 0755), 0);
  ASSERT_TRUE(make_file(top + "/sub/other"));
  ASSERT_TRUE(make_file(top + "/first"));

  // The mount lives in the child's own mount namespace, so it goes with the child in every
  // outcome. The same file system is bind-mounted, so only the mount itself, not the device
  // number, tells the walk to stop there.
  int err = 0;
  Child child([&](int to_parent, int) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return kNoMountNamespace;
    }
    if (::mount(source.c_str(), (top + "/sub/mnt").c_str(), nullptr, MS_BIND, nullptr) != 0) return kNoBindMount;
    if (TavDeleteDir(top.c_str(), 1) != 0) return 1;
    if (tav::get_last_error() != EXDEV) return child_fails(to_parent, 2);
    if (!exists_no_follow(top + "/sub/mnt/keep")) return 3;
    if (exists_no_follow(top + "/first") || exists_no_follow(top + "/sub/other")) return 4;
    return 0;
  });
  ASSERT_TRUE(child.started());
  const int code = child.wait();
  err = child.receive();
  if (code == kNoMountNamespace || code == kNoBindMount) {
    GTEST_SKIP() << "cannot make a private mount namespace or a bind mount here";
  }
  EXPECT_EQ(code, 0) << "step " << code << ", error " << err;
  EXPECT_TRUE(exists_no_follow(source + "/keep"));
  EXPECT_TRUE(exists_no_follow(top + "/sub/mnt"));  // the mount point stays, with its parents
}

TEST_F(FileUtilsTest, ReadWholeFileRefusesWhatIsNotARegularFileWithoutWaiting) {
  // A FIFO with no writer would block a plain open for reading for good.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  ASSERT_TRUE(make_file(path("file"), "contents"));
  struct Case { std::string path; int err; const char* bytes; } cases[] = {
      {path("file"), 0, "contents"},
      {path("fifo"), EINVAL, ""},
      {dir_.path(), EISDIR, ""},
      {path("missing"), ENOENT, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string bytes = "stale";
    EXPECT_EQ(tav::read_whole_file(c.path, &bytes), c.err);
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST_F(FileUtilsTest, ConcurrentAtomicWritesOfOnePathEachLandWhole) {
  // Threads of one process share the pid in the temporary file's name; none may take over or
  // remove another's temporary file, so every save succeeds and the result is one of them.
  const std::string target = path("shared.cfg");
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::string> contents;
  for (int t = 0; t < kThreads; ++t) contents.emplace_back(size_t(64 * 1024 + t), char('a' + t));
  std::vector<int> failures(kThreads, 0);
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int r = 0; r < kRounds; ++r) {
          if (tav::write_file_atomically(target, contents[t]) != 0) ++failures[t];
        }
      });
    }
  }
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  std::string bytes;
  ASSERT_EQ(tav::read_whole_file(target, &bytes), 0);
  EXPECT_NE(std::find(contents.begin(), contents.end(), bytes), contents.end()) << "a torn or mixed file";
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"shared.cfg"}) << "no temporary file is left";
}

TEST(SecurityAttributesTest, RecordSaysOnlyTheOwnerMayOpenAndIsRestoredOnEachCall) {
  const tav::NamedObjectAttributes* first = TavGetSecurityAttributes();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->length, sizeof(tav::NamedObjectAttributes));
  EXPECT_EQ(first->mode, 0600u);
  EXPECT_EQ(first->inherit_handle, 0);

  auto* scribbled = const_cast<tav::NamedObjectAttributes*>(first);
  scribbled->mode = 0666;
  scribbled->inherit_handle = 1;
  const tav::NamedObjectAttributes* again = TavGetSecurityAttributes();
  EXPECT_EQ(again, first);  // one module-wide record
  EXPECT_EQ(again->mode, 0600u);
  EXPECT_EQ(again->inherit_handle, 0);
}

}  // namespace
