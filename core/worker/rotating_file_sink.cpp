#include "core/worker/rotating_file_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "core/base/os_error.h"
#include "core/worker/log_paths.h"
#include "core/worker/simple_sinks.h"

namespace vorlisk {
namespace {

SinkResult last_os_error() { return SinkResult::failure(os_error_text(errno)); }

SinkResult flock_unlock(int fd) {
  while (::flock(fd, LOCK_UN) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return SinkResult::ok();
}

// What a line that follows one without its newline starts with.
char newline_byte[] = {'\n'};

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// Closes the directory stream on every way out.
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::optional<std::string> open_append_file(ForkLocalFd& file, const std::string& path) {
  if (const int error = file.open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)) {
    return os_error_text(error);
  }
  return std::nullopt;
}

SinkResult flock_exclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return SinkResult::ok();
}

std::variant<std::unique_ptr<RotatingFileSink>, std::string> RotatingFileSink::open(
    std::string_view file_path, uint64_t file_max_bytes, uint64_t file_backup_count) {
  auto resolved = resolve_log_file_paths(file_path);
  if (auto* error = std::get_if<std::string>(&resolved)) return std::move(*error);
  LogFilePaths& paths = std::get<LogFilePaths>(resolved);
  if (paths.parent && !paths.parent->empty()) {
    if (auto failed = create_directories(*paths.parent)) return std::move(*failed);
  }

  // The descriptors go straight into the sink, so that a child forked by
  // another thread meanwhile does not keep them (with the lock taken below).
  std::unique_ptr<RotatingFileSink> sink(new RotatingFileSink());
  if (const int error = sink->lock_file_.open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                                               0600)) {
    return os_error_text(error);
  }

  // Creating the log file under the lock keeps a rotating process from
  // racing the creation.
  const int lock_fd = sink->lock_file_.get();
  if (SinkResult locked = flock_exclusive(lock_fd); !locked.is_ok()) return locked.error();
  auto failed = open_append_file(sink->log_file_, paths.log);
  SinkResult unlocked = flock_unlock(lock_fd);
  if (failed) return std::move(*failed);
  if (!unlocked.is_ok()) return unlocked.error();

  struct stat st{};
  if (::fstat(sink->log_file_.get(), &st) != 0) return os_error_text(errno);

  sink->identity_ = Identity{st.st_dev, st.st_ino};
  sink->path_ = std::move(paths.log);
  sink->dir_ = paths.parent.value_or(std::string());
  sink->name_ = paths.name.value_or(std::string());
  sink->lock_path_ = std::move(paths.lock);
  sink->file_max_bytes_ = file_max_bytes;
  sink->file_backup_count_ = file_backup_count;
  sink->current_size_ = static_cast<uint64_t>(st.st_size);
  sink->regular_ = S_ISREG(st.st_mode);
  return sink;
}

SinkResult RotatingFileSink::write_line(std::string& line) {
  const WriteTally tally = write_lines(std::span<std::string>(&line, 1));
  errors_ += tally.errors;
  return tally.written == 1 ? SinkResult::ok() : SinkResult::failure(std::move(last_error_));
}

WriteTally RotatingFileSink::write_lines(std::span<std::string> lines) {
  WriteTally tally;
  // Without the lock nothing may be touched; the line is lost.
  if (SinkResult locked = flock_exclusive(lock_file_.get()); !locked.is_ok()) {
    lose_line(tally, std::move(locked));
    return tally;
  }
  write_hold(lines, tally);
  if (!flock_unlock(lock_file_.get()).is_ok()) tally.errors += 1;
  return tally;
}

void RotatingFileSink::write_hold(std::span<std::string> lines, WriteTally& tally) {
  if (SinkResult followed = follow_path(); !followed.is_ok()) {
    return lose_line(tally, std::move(followed));
  }
  const auto started = std::chrono::steady_clock::now();
  uint64_t hold_bytes = 0;
  while (tally.lines < lines.size()) {
    const bool rotate_first = rotation_due(current_size_, lines[tally.lines].size());
    if (tally.lines > 0) {
      if (tally.lines >= kLinesPerHold || hold_bytes >= kBytesPerHold) return;
      // Rotations are slow (every backup is probed and renamed), so a long
      // hold ends at one; the next hold takes over from there.
      if (rotate_first && std::chrono::steady_clock::now() - started >= kHoldTime) return;
    }
    bool rotation_failed = false;
    if (rotate_first) {
      SinkResult rotated = rotate();
      if (!rotated.is_ok()) {
        if (!log_file_) return lose_line(tally, std::move(rotated));
        // The path was opened again: a rotation that cannot be done (a
        // backup that is a directory, a read-only folder) must not cost
        // this line and every later one while the log file is writable.
        rotation_failed = true;
      }
    }
    if (!write_run(lines, tally, hold_bytes, rotation_failed)) return;
  }
}

SinkResult RotatingFileSink::follow_path() {
  // Another process may have rotated, replaced or removed the file, and
  // its appends count towards the size.
  if (!log_file_) return reopen();
  if (identity_) {
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0 || Identity{st.st_dev, st.st_ino} != *identity_) {
      log_file_.reset();
      return reopen();
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size != current_size_) tail_known_ = false;  // another process wrote
    current_size_ = size;
  } else if (rotating()) {
    log_file_.reset();
    return reopen();
  }
  return SinkResult::ok();
}

bool RotatingFileSink::rotation_due(uint64_t size, size_t length) const {
  return rotating() && size != 0 && saturating_add(size, length) >= file_max_bytes_;
}

bool RotatingFileSink::write_run(std::span<std::string> lines, WriteTally& tally,
                                 uint64_t& hold_bytes, bool rotation_failed) {
  if (!log_file_) {
    lose_line(tally, SinkResult::failure("rotating file sink has no active file"));
    return false;
  }
  if (!tail_known_) learn_tail();
  // Under the lock nobody else appends: the size after each line is known.
  // (`lines` starts where the hold did, so `end` also bounds the hold.)
  const size_t first = tally.lines;
  size_t end = first;
  size_t parts = 0;
  uint64_t size = current_size_;
  bool newline = leading_newline_;
  do {
    const std::string& line = lines[end];
    if (newline) parts_[parts++] = iovec{newline_byte, 1};
    if (!line.empty()) parts_[parts++] = iovec{const_cast<char*>(line.data()), line.size()};
    const uint64_t bytes = uint64_t{newline} + line.size();
    size = saturating_add(size, bytes);
    hold_bytes = saturating_add(hold_bytes, bytes);
    // A line without its newline must not run into the next.
    newline = !line.empty() && line.back() != '\n';
    ++end;
  } while (end < std::min(lines.size(), kLinesPerHold) && hold_bytes < kBytesPerHold &&
           !rotation_due(size, lines[end].size()));

  size_t written = 0;
  SinkResult result = write_all_vectored(log_file_.get(), std::span(parts_.data(), parts), written);
  if (result.is_ok()) {
    tally.lines = end;
    tally.written += end - first;
    tally.errors += rotation_failed ? 1 : 0;
    current_size_ = size;
    leading_newline_ = newline;
    return true;
  }

  // The lines written whole count; the one the failure met is lost, also
  // when it was torn part-way, and the next line starts on a line of its own.
  size_t failed = first;
  uint64_t offset = 0;
  newline = leading_newline_;
  for (;; ++failed) {
    const std::string& line = lines[failed];
    const uint64_t bytes = uint64_t{newline} + line.size();
    if (offset + bytes > written) break;
    offset += bytes;
    newline = !line.empty() && line.back() != '\n';
  }
  if (written > offset) {
    const std::string& torn = lines[failed];
    const size_t taken = written - offset;  // of the torn line's bytes
    const char last = !newline ? torn[taken - 1] : taken == 1 ? '\n' : torn[taken - 2];
    leading_newline_ = last != '\n';
  } else if (written > 0) {
    leading_newline_ = newline;
  }
  current_size_ = saturating_add(current_size_, written);
  tally.written += failed - first;
  if (failed > first && rotation_failed) tally.errors += 1;
  tally.lines = failed;
  lose_line(tally, std::move(result));
  return false;
}

void RotatingFileSink::lose_line(WriteTally& tally, SinkResult result) {
  tally.lines += 1;
  tally.errors += 1;
  last_error_ = result.error();
}

void RotatingFileSink::learn_tail() {
  leading_newline_ = current_size_ != 0 && regular_ && ends_mid_line();
  tail_known_ = true;
}

bool RotatingFileSink::ends_mid_line() {
  if (!tail_reader_ && identity_) {
    // The log file is open for appending only; the path, checked against
    // the open file under the lock, gives it for reading.
    struct stat st{};
    if (tail_reader_.open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) != 0) return false;
    if (::fstat(tail_reader_.get(), &st) != 0 || Identity{st.st_dev, st.st_ino} != *identity_) {
      tail_reader_.reset();
      return false;
    }
  }
  if (!tail_reader_) return false;
  char last = '\n';
  ssize_t n = 0;
  do {
    n = ::pread(tail_reader_.get(), &last, 1, static_cast<off_t>(current_size_ - 1));
  } while (n < 0 && errno == EINTR);
  return n == 1 && last != '\n';
}

SinkResult RotatingFileSink::reopen() {
  if (auto failed = open_append_file(log_file_, path_)) {
    return SinkResult::failure(std::move(*failed));
  }
  struct stat st{};
  if (::fstat(log_file_.get(), &st) == 0) {
    identity_ = Identity{st.st_dev, st.st_ino};
    current_size_ = static_cast<uint64_t>(st.st_size);
    regular_ = S_ISREG(st.st_mode);
  } else {
    identity_.reset();
    current_size_ = 0;
    regular_ = false;
  }
  leading_newline_ = false;
  tail_known_ = false;
  tail_reader_.reset();
  return SinkResult::ok();
}

SinkResult RotatingFileSink::rotate() {
  log_file_.reset();
  std::optional<SinkResult> error;
  const std::string oldest = backup_path(path_, file_backup_count_);
  if (exists(oldest) && ::unlink(oldest.c_str()) != 0) error = last_os_error();
  if (!error) {
    if (SinkResult shifted = shift_backups(); !shifted.is_ok()) error = std::move(shifted);
  }
  if (!error && ::rename(path_.c_str(), backup_path(path_, 1).c_str()) != 0) {
    error = last_os_error();
  }
  // Always open the path again, so later lines keep reaching the log file.
  SinkResult reopened = reopen();
  if (!error && !reopened.is_ok()) error = std::move(reopened);
  return error ? std::move(*error) : SinkResult::ok();
}

SinkResult RotatingFileSink::shift_backups() {
  if (file_backup_count_ > kProbedBackupLimit) return shift_existing_backups();
  for (uint64_t k = file_backup_count_; k >= 2; --k) {
    const std::string from = backup_path(path_, k - 1);
    if (!exists(from)) continue;
    if (::rename(from.c_str(), backup_path(path_, k).c_str()) != 0) return last_os_error();
  }
  return SinkResult::ok();
}

SinkResult RotatingFileSink::shift_existing_backups() {
  // The same renames as probing every number from the count down, limited
  // to the numbers the directory holds: each rename only touches numbers
  // above the one it moves, so going from the highest down is equivalent.
  std::unique_ptr<DIR, DirCloser> dir(::opendir(dir_.empty() ? "/" : dir_.c_str()));
  if (!dir) return last_os_error();
  std::vector<uint64_t> found;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto k = backup_number(entry->d_name, name_);
    if (k && *k < file_backup_count_) found.push_back(*k);
  }
  if (errno != 0) return last_os_error();
  dir.reset();
  std::sort(found.begin(), found.end(), std::greater<>());
  for (const uint64_t k : found) {
    const std::string from = backup_path(path_, k);
    if (!exists(from)) continue;
    if (::rename(from.c_str(), backup_path(path_, k + 1).c_str()) != 0) return last_os_error();
  }
  return SinkResult::ok();
}

}  // namespace vorlisk
