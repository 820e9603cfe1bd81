// Descriptors across fork(): a child keeps none of those the parent held,
// neither the lock taken through one nor the number, which the child may
// give to a file of its own.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/base/fork_local_fd.h"
#include "core/tests/temp_dir.h"
#include "core/tests/wait_for_child.h"
#include "core/worker/rotating_file_sink.h"

namespace vorlisk {
namespace {

using namespace std::chrono_literals;

constexpr int kCreate = O_RDWR | O_CREAT | O_CLOEXEC;

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// This process's descriptors that name one of `paths`.
std::set<int> open_on(const std::set<std::string>& paths) {
  std::set<int> found;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return {-1};
  while (const dirent* entry = ::readdir(dir)) {
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n > 0 && paths.count(std::string(target, static_cast<size_t>(n))) != 0) {
      found.insert(std::atoi(entry->d_name));
    }
  }
  ::closedir(dir);
  return found;
}

TEST(ForkLocalFd, AChildDoesNotKeepTheLockItsParentHolds) {
  TempDir dir;
  const std::string path = dir / "app.log.lock";
  ForkLocalFd lock;
  ASSERT_EQ(lock.open(path.c_str(), kCreate, 0600), 0);
  ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
  const int number = lock.get();
  int probed[2];
  ASSERT_EQ(::pipe(probed), 0);

  const pid_t pid = ::fork();
  if (pid == 0) {
    // The lock is still the parent's; once the parent lets go of its
    // descriptor nothing is left holding it.
    const bool closed = lock.get() == -1 && !is_open(number) && errno == EBADF;
    const int own = ::open(path.c_str(), kCreate);
    const bool refused = ::flock(own, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK;
    const bool told = ::write(probed[1], "p", 1) == 1;
    const bool taken = ::flock(own, LOCK_EX) == 0;
    _exit(closed && refused && told && taken ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  char byte = 0;
  ASSERT_EQ(::read(probed[0], &byte, 1), 1);
  EXPECT_TRUE(is_open(lock.get()));
  lock.reset();
  EXPECT_EQ(wait_for_child(pid, 60s), 0);
  ::close(probed[0]);
  ::close(probed[1]);
}

TEST(ForkLocalFd, WhatTheChildInheritedNeverClosesItsOwnFiles) {
  TempDir dir;
  auto inherited = std::make_unique<ForkLocalFd>();
  ASSERT_EQ(inherited->open((dir / "parent").c_str(), kCreate, 0600), 0);
  const int number = inherited->get();

  const pid_t pid = ::fork();
  if (pid == 0) {
    // The lowest free number: the one the inherited copy had.
    const int own = ::open((dir / "child").c_str(), kCreate, 0600);
    bool ok = own == number;
    // Reopened, closed and dropped: none of it touches `own`.
    ok = ok && inherited->open((dir / "other").c_str(), kCreate, 0600) == 0;
    inherited->reset();
    inherited.reset();
    ok = ok && ::write(own, "child\n", 6) == 6;
    _exit(ok ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_for_child(pid, 60s), 0);
  EXPECT_EQ(inherited->get(), number);
  EXPECT_EQ(::write(inherited->get(), "parent\n", 7), 7);
  inherited.reset();
  std::ifstream child(dir / "child");
  std::string line;
  EXPECT_TRUE(std::getline(child, line));
  EXPECT_EQ(line, "child");
}

TEST(ForkLocalFd, ASinkInAChildHoldsNoneOfItsFiles) {
  TempDir dir;
  const std::string log = dir / "app.log";
  std::ofstream(log) << "earlier\n";  // its last byte is read: a third descriptor
  auto opened = RotatingFileSink::open(log, 0, 0);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<RotatingFileSink>>(opened));
  auto& sink = std::get<std::unique_ptr<RotatingFileSink>>(opened);
  ASSERT_TRUE(sink->write("before\n").is_ok());
  const std::set<std::string> paths{log, log + ".lock"};
  ASSERT_EQ(open_on(paths).size(), 3u);

  const pid_t pid = ::fork();
  if (pid == 0) {
    bool ok = open_on(paths).empty();
    // Its copy no longer writes through the parent's files; a sink of its
    // own does.
    ok = ok && !sink->write("through the inherited copy\n").is_ok();
    auto own = RotatingFileSink::open(log, 0, 0);
    ok = ok && std::holds_alternative<std::unique_ptr<RotatingFileSink>>(own) &&
         std::get<std::unique_ptr<RotatingFileSink>>(own)->write("child\n").is_ok();
    _exit(ok ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  EXPECT_EQ(wait_for_child(pid, 60s), 0);
  ASSERT_TRUE(sink->write("after\n").is_ok());
  sink.reset();
  EXPECT_TRUE(open_on(paths).empty());
  std::ifstream in(log);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "earlier\nbefore\nchild\nafter\n");
}

}  // namespace
}  // namespace vorlisk
