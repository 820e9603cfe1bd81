#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/tests/temp_dir.h"
#include "core/worker/log_paths.h"
#include "core/worker/rotating_file_sink.h"
#include "core/worker/simple_sinks.h"

namespace vorlisk {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::unique_ptr<RotatingFileSink> open_sink(const std::string& path, uint64_t max_bytes,
                                            uint64_t backups) {
  auto opened = RotatingFileSink::open(path, max_bytes, backups);
  if (auto* error = std::get_if<std::string>(&opened)) {
    ADD_FAILURE() << *error;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<RotatingFileSink>>(opened));
}

TEST(RotatingFileSink, OversizedLineIntoEmptyFileThenRotates) {
  TempDir dir;
  const std::string log = dir / "big.log";
  auto sink = open_sink(log, 100, 1);
  const std::string big(199, 'x');
  ASSERT_TRUE(sink->write(big + "\n").is_ok());
  EXPECT_EQ(read_file(log).size(), 200u);
  ASSERT_TRUE(sink->write("next\n").is_ok());
  EXPECT_EQ(read_file(log), "next\n");
  EXPECT_EQ(read_file(log + ".1").size(), 200u);
}

TEST(RotatingFileSink, CountsOtherWritersTowardsTheThreshold) {
  TempDir dir;
  const std::string log = dir / "app.log";
  auto sink = open_sink(log, 20, 1);
  ASSERT_TRUE(sink->write("mine 1\n").is_ok());
  std::ofstream(log, std::ios::app) << "another process\n";
  ASSERT_TRUE(sink->write("mine 2\n").is_ok());  // 23 + 7 >= 20: rotates first
  EXPECT_EQ(read_file(log), "mine 2\n");
  EXPECT_EQ(read_file(log + ".1"), "mine 1\nanother process\n");
}

// Writes `lines` handing the sink `per_call` at a time, as the worker does:
// each call deals with some of them and the rest are offered again.
WriteTally write_in_calls(RotatingFileSink& sink, std::vector<std::string> lines,
                          size_t per_call) {
  WriteTally total;
  std::span<std::string> rest(lines);
  while (!rest.empty()) {
    const std::span<std::string> call = rest.first(std::min(per_call, rest.size()));
    const WriteTally tally = sink.write_lines(call);
    EXPECT_GE(tally.lines, 1u);
    EXPECT_LE(tally.lines, call.size());
    total.lines += tally.lines;
    total.written += tally.written;
    total.errors += tally.errors;
    rest = rest.subspan(tally.lines);
  }
  return total;
}

class LinesPerCall : public ::testing::TestWithParam<size_t> {};

// Rotating between the lines of one hold, and starting a line after one
// without its newline, give the files that single writes give.
TEST_P(LinesPerCall, SameFilesAsOneLineAtATime) {
  TempDir dir;
  const std::string log = dir / "app.log";
  auto sink = open_sink(log, 100, 2);
  std::vector<std::string> lines;
  for (char c : std::string("abcdefgh")) lines.push_back(std::string(39, c) + "\n");
  const WriteTally tally = write_in_calls(*sink, lines, GetParam());
  EXPECT_EQ(tally.written, 8u);
  EXPECT_EQ(tally.errors, 0u);
  EXPECT_EQ(read_file(log), lines[6] + lines[7]);
  EXPECT_EQ(read_file(log + ".1"), lines[4] + lines[5]);
  EXPECT_EQ(read_file(log + ".2"), lines[2] + lines[3]);

  const std::string plain = dir / "plain.log";
  auto unrotated = open_sink(plain, 0, 0);
  write_in_calls(*unrotated, {"a", "b", "", "c\n", "", "d"}, GetParam());
  EXPECT_EQ(read_file(plain), "a\nb\nc\nd");
}

INSTANTIATE_TEST_SUITE_P(Holds, LinesPerCall, ::testing::Values(size_t{1}, size_t{3}, size_t{8}));

TEST(RotatingFileSink, AHoldEndsAtItsLineOrByteBound) {
  TempDir dir;
  auto sink = open_sink(dir / "app.log", 0, 0);
  std::vector<std::string> many(kLinesPerHold + 10, "x\n");
  EXPECT_EQ(sink->write_lines(many).lines, kLinesPerHold);
  std::vector<std::string> long_lines(3, std::string(kBytesPerHold / 2 + 1, 'y'));
  EXPECT_EQ(sink->write_lines(long_lines).lines, 2u);
  std::vector<std::string> huge(2, std::string(kBytesPerHold * 2, 'z'));
  EXPECT_EQ(sink->write_lines(huge).lines, 1u);  // at least one line, whatever its length
}

// Sets the process's file size limit for one test, with SIGXFSZ ignored
// so that a write past it fails with EFBIG instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, saved_handler_);
  }

 private:
  rlimit saved_{};
  void (*saved_handler_)(int) = nullptr;
};

// A write cut short in the middle of a hold: the lines written whole count,
// the torn one and the next that cannot be written are each one error, and
// the line that rotates starts the new file cleanly.
TEST(RotatingFileSink, AFailedWriteLosesExactlyTheLinesThatDidNotFit) {
  TempDir dir;
  const std::string log = dir / "app.log";
  auto sink = open_sink(log, 1000, 1);
  std::vector<std::string> lines;
  for (int i = 0; i < 8; ++i) lines.push_back(std::to_string(i) + std::string(118, 'x') + "\n");
  lines.push_back("short, does not rotate" + std::string(17, '.') + "\n");  // 40 bytes
  lines.push_back("rotates" + std::string(112, 'r') + "\n");
  lines.push_back("after\n");
  WriteTally tally;
  {
    FileSizeLimit limit(900);  // the 8th line gets 60 of its 120 bytes
    tally = write_in_calls(*sink, lines, lines.size());
  }
  EXPECT_EQ(tally.written, 9u);
  EXPECT_EQ(tally.errors, 2u);
  std::string old;
  for (int i = 0; i < 7; ++i) old += lines[i];
  EXPECT_EQ(read_file(log + ".1"), old + lines[7].substr(0, 60));
  EXPECT_EQ(read_file(log), lines[9] + lines[10]);
}

class ShiftExisting : public ::testing::TestWithParam<uint64_t> {};

// Whatever the count, only existing backups move, each one number up, and
// the one at the count is removed; gaps stay gaps. Huge counts finish at once.
TEST_P(ShiftExisting, SameLayoutForEveryCount) {
  const uint64_t count = GetParam();
  TempDir dir;
  const std::string log = dir / "app.log";
  for (const char* k : {"1", "3", "7", "07", "x"}) std::ofstream(log + "." + k) << k;
  auto sink = open_sink(log, 10, count);
  ASSERT_TRUE(sink->write("0123456789\n").is_ok());
  ASSERT_TRUE(sink->write("new\n").is_ok());
  EXPECT_EQ(sink->take_errors(), 0u);
  EXPECT_EQ(read_file(log), "new\n");
  EXPECT_EQ(read_file(log + ".1"), "0123456789\n");
  EXPECT_EQ(read_file(log + ".2"), "1");
  EXPECT_EQ(read_file(log + ".3"), "<missing>");
  EXPECT_EQ(read_file(log + ".4"), "3");
  EXPECT_EQ(read_file(log + ".8"), "7");
  EXPECT_EQ(read_file(log + ".07"), "07");  // not a backup name
  EXPECT_EQ(read_file(log + ".x"), "x");
}

INSTANTIATE_TEST_SUITE_P(Counts, ShiftExisting,
                         ::testing::Values(uint64_t{10}, kProbedBackupLimit,
                                           kProbedBackupLimit + 1, uint64_t{1} << 40, UINT64_MAX));

struct OpenFailure {
  const char* name;
  std::string (*path)(const TempDir&);
  const char* message;
};

class OpenFails : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(OpenFails, WithTheCause) {
  TempDir dir;
  std::ofstream(dir / "file") << "x";
  auto opened = RotatingFileSink::open(GetParam().path(dir), 100, 2);
  ASSERT_TRUE(std::holds_alternative<std::string>(opened));
  EXPECT_EQ(std::get<std::string>(opened), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, OpenFails,
    ::testing::Values(
        OpenFailure{"empty", [](const TempDir&) { return std::string(); },
                    "cannot make an empty path absolute"},
        OpenFailure{"nul", [](const TempDir& d) { return d / std::string("a\0b", 3); },
                    "file name contained an unexpected NUL byte"},
        OpenFailure{"parent_is_a_file", [](const TempDir& d) { return d / "file/sub/app.log"; },
                    "Not a directory (os error 20)"},
        OpenFailure{"log_is_a_directory", [](const TempDir& d) { return d / "."; },
                    "Is a directory (os error 21)"}),
    [](const auto& info) { return std::string(info.param.name); });

// What another process left in the file: before this sink opened it, and
// between two of its lines (appended here without the lock, as by a
// process that died in the middle of its write).
struct OtherWriterCase {
  const char* before_open;
  const char* first;
  const char* between;
  const char* file;
};

class OtherWriter : public ::testing::TestWithParam<OtherWriterCase> {};

// A line never runs on from a line another process left unfinished, and a
// line feed is added only where one is missing.
TEST_P(OtherWriter, NextLineStartsOnALineOfItsOwn) {
  const auto& [before_open, first, between, file] = GetParam();
  TempDir dir;
  const std::string log = dir / "app.log";
  std::ofstream(log) << before_open;
  auto sink = open_sink(log, 0, 0);
  ASSERT_TRUE(sink->write(first).is_ok());
  std::ofstream(log, std::ios::app) << between;
  ASSERT_TRUE(sink->write("mine 2\n").is_ok());
  EXPECT_EQ(read_file(log), file);
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, OtherWriter,
    ::testing::Values(OtherWriterCase{"torn", "mine 1\n", "", "torn\nmine 1\nmine 2\n"},
                      OtherWriterCase{"whole\n", "mine 1\n", "", "whole\nmine 1\nmine 2\n"},
                      OtherWriterCase{"", "mine 1\n", "torn", "mine 1\ntorn\nmine 2\n"},
                      // Its own line without a newline was ended by the other.
                      OtherWriterCase{"", "mine 1", "\nwhole\n", "mine 1\nwhole\nmine 2\n"}));

// The line feed added after another's torn line counts towards the size
// within a hold: 11 bytes, then 1 + 9, and a line of 1 byte reaches 22.
TEST(RotatingFileSink, AnAddedLineFeedCountsTowardsRotation) {
  TempDir dir;
  const std::string log = dir / "app.log";
  auto sink = open_sink(log, 22, 1);
  ASSERT_TRUE(sink->write("mine 1\n").is_ok());
  std::ofstream(log, std::ios::app) << "torn";
  std::vector<std::string> lines = {"abcdefgh\n", "x"};
  EXPECT_EQ(write_in_calls(*sink, lines, lines.size()).written, 2u);
  EXPECT_EQ(read_file(log + ".1"), "mine 1\ntorn\nabcdefgh\n");
  EXPECT_EQ(read_file(log), "x");
}

TEST(RotatingFileSink, CreatesMissingDirectoriesAndTheLockFile) {
  TempDir dir;
  auto sink = open_sink(dir / "a/b/c/app.log", 0, 0);
  ASSERT_TRUE(sink);
  EXPECT_EQ(sink->lock_path(), dir / "a/b/c/app.log.lock");
  struct stat st{};
  ASSERT_EQ(::stat((dir / "a/b/c/app.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0177, 0u);
  ASSERT_EQ(::stat((dir / "a/b/c/app.log.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

struct AbsoluteCase {
  const char* path;
  const char* expected;
};

class Absolute : public ::testing::TestWithParam<AbsoluteCase> {};

TEST_P(Absolute, IsLexical) {
  EXPECT_EQ(make_absolute_lexically(GetParam().path, "/work/dir"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Absolute,
    ::testing::Values(AbsoluteCase{"logs/./app.log", "/work/dir/logs/app.log"},
                      AbsoluteCase{"./app.log", "/work/dir/app.log"},
                      AbsoluteCase{"a//b/../c", "/work/dir/a/b/../c"},
                      AbsoluteCase{"logs/", "/work/dir/logs/"}, AbsoluteCase{".", "/work/dir"},
                      AbsoluteCase{"/x/./y", "/x/y"}, AbsoluteCase{"//x/y", "//x/y"},
                      AbsoluteCase{"///x//y/", "/x/y/"}, AbsoluteCase{"/", "/"}));

TEST(LogFilePaths, LockBesideTheFileOrInsideADotDotPath) {
  auto plain = std::get<LogFilePaths>(resolve_log_file_paths("/var/log/app.log"));
  EXPECT_EQ(plain.lock, "/var/log/app.log.lock");
  EXPECT_EQ(plain.parent, "/var/log");
  auto dotdot = std::get<LogFilePaths>(resolve_log_file_paths("/var/log/.."));
  EXPECT_EQ(dotdot.lock, "/var/log/../.lock");
  EXPECT_FALSE(dotdot.name);
  EXPECT_EQ(backup_path("/var/log/app.log", 12), "/var/log/app.log.12");
}

TEST(WriteAllToFd, WritesInChunksAndReportsErrors) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  size_t written = 0;
  ASSERT_TRUE(write_all_to_fd(fds[1], "hello world", written, 3).is_ok());
  EXPECT_EQ(written, 11u);
  char buffer[32] = {};
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "hello world");
  ::close(fds[0]);
  ::close(fds[1]);
  SinkResult bad = write_all_to_fd(fds[1], "x", written);
  EXPECT_EQ(bad.error(), "Bad file descriptor (os error 9)");
  EXPECT_EQ(written, 0u);
}

class VectoredChunks : public ::testing::TestWithParam<size_t> {};

// Whatever the chunk bound, a call cut short inside a buffer goes on from
// there, empty buffers are passed over, and every buffer ends used up.
TEST_P(VectoredChunks, WritesEveryBufferInOrder) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string text[] = {"ab", "", "cde", "f", "", "ghij"};
  std::vector<iovec> parts;
  for (std::string& part : text) parts.push_back(iovec{part.data(), part.size()});
  size_t written = 0;
  ASSERT_TRUE(write_all_vectored(fds[1], parts, written, GetParam()).is_ok());
  EXPECT_EQ(written, 10u);
  for (const iovec& part : parts) EXPECT_EQ(part.iov_len, 0u);
  char buffer[32] = {};
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 10);
  EXPECT_STREQ(buffer, "abcdefghij");
  ::close(fds[0]);
  ::close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(Bounds, VectoredChunks, ::testing::Values(1, 2, 3, 4, 7, 10, 64));

}  // namespace
}  // namespace vorlisk
