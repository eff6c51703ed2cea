// Raw files: open flags, whole-buffer reads and writes, positional writes, seeks and sizes, and
// which forms report their failures.
#include "disk/raw_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/engine_report.h"
#include "core/last_error.h"
#include "disk/disk_channel.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::TempDir;

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Routes the disk library's reports into a buffer for the test's lifetime.
class RawFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    libtavdisk_set_thread_gui(nullptr, message_, &error_flag_);
  }
  void TearDown() override { libtavdisk_set_thread_gui(nullptr, nullptr, nullptr); }

  // The report text since the last call, then cleared.
  std::string take_report() {
    std::string text = message_;
    message_[0] = '\0';
    error_flag_ = 0;
    return text;
  }

  TempDir dir_;
  char message_[kMessageBufferBytes] = {};
  int32_t error_flag_ = 0;
};

TEST_F(RawFileTest, OpenFlags) {
  const std::string existing = dir_.file("existing.bin");
  struct Case {
    const char* name;
    bool exists_before;
    int flags;
    bool opens;
    int error;             // errno when it does not open
    bool writable;
    const char* content;   // of the file afterwards; null: no file
  } cases[] = {
      {"read an existing file", true, kFileRead, true, 0, false, "old data"},
      {"read a missing file", false, kFileRead, false, ENOENT, false, nullptr},
      {"read-write creates", false, kFileReadWriteCreate, true, 0, true, ""},
      {"read-write keeps the data", true, kFileReadWriteCreate, true, 0, true, "old data"},
      {"truncate empties", true, kFileReadWriteTruncate, true, 0, true, ""},
      {"truncate creates", false, kFileReadWriteTruncate, true, 0, true, ""},
      {"read-write without create needs the file", false, kFileReadWrite, false, ENOENT, false, nullptr},
      {"create without write access", false, 0x100, false, EINVAL, false, nullptr},
      {"truncate without write access", true, 0x200, false, EINVAL, false, "old data"},
      {"unknown bit", true, 0x1002, false, EINVAL, false, "old data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(existing);
    if (c.exists_before) std::ofstream(existing) << "old data";
    errno = 0;
    const int fd = tav_try_file_open(existing.c_str(), c.flags);
    if (c.opens) {
      ASSERT_GE(fd, 0) << std::strerror(errno);
      EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
      const char byte = 'x';
      EXPECT_EQ(::pwrite(fd, &byte, 0, 0) == 0, c.writable);
      EXPECT_EQ(tav_file_close(fd), 0);
    } else {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(errno, c.error);
      EXPECT_EQ(get_last_error(), uint32_t(c.error));
    }
    if (c.content == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(existing));
    } else {
      EXPECT_EQ(contents(existing), c.content);
    }
  }
  // New files are 0644 less the umask.
  std::filesystem::remove(existing);
  const mode_t old_mask = umask(022);
  const int fd = tav_try_file_open(existing.c_str(), kFileReadWriteCreate);
  umask(old_mask);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  tav_file_close(fd);
  // A directory is not a file, whatever the flags.
  EXPECT_EQ(tav_try_file_open(dir_.path().c_str(), kFileRead), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(tav_try_file_open(nullptr, kFileRead), -1);
}

TEST_F(RawFileTest, ReadsAndWritesWholeBuffers) {
  const std::string path = dir_.file("data.bin");
  const int fd = tav_file_open(path.c_str(), kFileReadWriteTruncate);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> data(3 * 1024 * 1024 + 7);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 4096);
  EXPECT_EQ(tav_try_file_write(fd, data.data(), data.size(), "data.bin"), int64_t(data.size()));
  EXPECT_EQ(tav_file_get_position(fd), int64_t(data.size()));
  EXPECT_EQ(tav_get_file_size(fd), int64_t(data.size()));

  // A positional write past the end grows the file and leaves the position alone.
  const uint64_t far = 5ull * 1024 * 1024 * 1024;  // beyond 32 bits
  const char tail[] = "tail";
  EXPECT_EQ(tav_file_pos_write(fd, far, tail, 4), 4);
  EXPECT_EQ(tav_file_get_position(fd), int64_t(data.size()));
  EXPECT_EQ(tav_get_file_size(fd), int64_t(far + 4));

  struct Seek {
    int64_t offset;
    int whence;
    int64_t expected;
  } seeks[] = {{10, 0, 10}, {5, 1, 15}, {-4, 2, int64_t(far)}, {int64_t(far) + 1, 0, int64_t(far) + 1}};
  for (const Seek& s : seeks) {
    SCOPED_TRACE(s.whence);
    EXPECT_EQ(tav_file_llseek(fd, s.offset, s.whence), s.expected);
    EXPECT_EQ(tav_file_get_position(fd), s.expected);
  }

  // Reads return the whole request, or what is left at the end of the file.
  ASSERT_EQ(tav_file_llseek(fd, 0, 0), 0);
  std::vector<uint8_t> back(data.size());
  EXPECT_EQ(tav_try_file_read(fd, back.data(), back.size(), "data.bin"), int64_t(back.size()));
  EXPECT_EQ(back, data);
  ASSERT_EQ(tav_file_llseek(fd, int64_t(far) + 2, 0), int64_t(far) + 2);
  char end[16] = {};
  EXPECT_EQ(tav_try_file_read(fd, end, sizeof end, "data.bin"), 2);
  EXPECT_EQ(std::string(end, 2), "il");
  EXPECT_EQ(tav_try_file_read(fd, end, sizeof end, "data.bin"), 0);
  EXPECT_EQ(tav_file_close(fd), 0);
  EXPECT_EQ(take_report(), "");
}

TEST_F(RawFileTest, PlainFormsReportAndTryFormsDoNot) {
  const std::string missing = dir_.file("no such volume.ego");
  const std::string path = dir_.file("file.bin");
  std::ofstream(path) << "0123456789";
  const int reader = tav_file_open(path.c_str(), kFileRead);
  ASSERT_GE(reader, 0);
  const int closed = 1 << 29;  // far above any descriptor this process has open
  char buffer[4];

  struct Case {
    const char* name;
    std::function<int64_t()> call;
    int error;
    bool reports;
    const char* report_mentions;
  } cases[] = {
      {"try open", [&] { return int64_t(tav_try_file_open(missing.c_str(), kFileRead)); }, ENOENT, false, ""},
      {"open", [&] { return int64_t(tav_file_open(missing.c_str(), kFileRead)); }, ENOENT, true, "no such volume.ego"},
      {"try read", [&] { return tav_try_file_read(closed, buffer, sizeof buffer, "gone.bin"); }, EBADF, false, ""},
      {"try write on a reader", [&] { return tav_try_file_write(reader, "ab", 2, "file.bin"); }, EBADF, false, ""},
      {"positional write on a reader", [&] { return tav_file_pos_write(reader, 0, "ab", 2); }, EBADF, true, "write"},
      {"negative position", [&] { return tav_file_llseek(reader, -1, 0); }, EINVAL, true, "seek"},
      {"unknown origin", [&] { return tav_file_llseek(reader, 0, 3); }, EINVAL, true, "origin"},
      {"position of a closed file", [&] { return tav_file_get_position(closed); }, EBADF, true, "position"},
      {"size of a closed file", [&] { return tav_get_file_size(closed); }, EBADF, true, "size"},
      {"close what is not open", [&] { return int64_t(tav_file_close(closed)); }, EBADF, true, "close"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    take_report();
    errno = 0;
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(get_last_error(), uint32_t(c.error));
    const std::string report = take_report();
    if (c.reports) {
      EXPECT_NE(report.find(c.report_mentions), std::string::npos) << report;
    } else {
      EXPECT_EQ(report, "");
    }
  }
  // Nothing was written through the reader.
  EXPECT_EQ(contents(path), "0123456789");
  tav_file_close(reader);
}

TEST_F(RawFileTest, WriteFailsWhenTheFileCannotGrow) {
  // A file size limit stands in for a full disk: the first bytes go, then the write fails
  // instead of reporting success for bytes that were never stored.
  const std::string path = dir_.file("limited.bin");
  const int fd = tav_file_open(path.c_str(), kFileReadWriteTruncate);
  ASSERT_GE(fd, 0);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 4096;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::vector<char> data(10000, 'z');
  const int64_t written = tav_try_file_write(fd, data.data(), data.size(), "limited.bin");
  const int error = errno;
  const int64_t positional = tav_file_pos_write(fd, 8192, data.data(), 100);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(written, -1);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(positional, -1);
  EXPECT_EQ(std::filesystem::file_size(path), 4096u);
  tav_file_close(fd);
}

}  // namespace
}  // namespace tav::disk
