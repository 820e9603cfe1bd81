#include "core/worker/rotating_file_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
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

std::variant<UniqueFd, std::string> open_append_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return os_error_text(errno);
  return UniqueFd(fd);
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

  const int lock_fd = ::open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd < 0) return os_error_text(errno);
  UniqueFd lock_file(lock_fd);

  // Creating the log file under the lock keeps a rotating process from
  // racing the creation.
  if (SinkResult locked = flock_exclusive(lock_file.get()); !locked.is_ok()) return locked.error();
  auto opened = open_append_file(paths.log);
  SinkResult unlocked = flock_unlock(lock_file.get());
  if (auto* error = std::get_if<std::string>(&opened)) return std::move(*error);
  if (!unlocked.is_ok()) return unlocked.error();
  UniqueFd log_file = std::move(std::get<UniqueFd>(opened));

  struct stat st{};
  if (::fstat(log_file.get(), &st) != 0) return os_error_text(errno);

  std::unique_ptr<RotatingFileSink> sink(new RotatingFileSink());
  sink->identity_ = Identity{st.st_dev, st.st_ino};
  sink->path_ = std::move(paths.log);
  sink->dir_ = paths.parent.value_or(std::string());
  sink->name_ = paths.name.value_or(std::string());
  sink->lock_path_ = std::move(paths.lock);
  sink->file_max_bytes_ = file_max_bytes;
  sink->file_backup_count_ = file_backup_count;
  sink->current_size_ = static_cast<uint64_t>(st.st_size);
  sink->lock_file_ = std::move(lock_file);
  sink->log_file_ = std::move(log_file);
  return sink;
}

SinkResult RotatingFileSink::write_line(std::string& line) {
  // Without the lock nothing may be touched; the line is lost.
  if (SinkResult locked = flock_exclusive(lock_file_.get()); !locked.is_ok()) return locked;
  SinkResult result = write_locked(line);
  SinkResult unlocked = flock_unlock(lock_file_.get());
  return result.is_ok() ? unlocked : result;
}

SinkResult RotatingFileSink::write_locked(std::string& line) {
  const bool rotating = file_max_bytes_ != 0 && file_backup_count_ != 0;

  // Follow the file at the path: another process may have rotated,
  // replaced or removed it, and its appends count towards the size.
  if (!log_file_) {
    if (SinkResult r = reopen(); !r.is_ok()) return r;
  } else if (identity_) {
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0 || Identity{st.st_dev, st.st_ino} != *identity_) {
      log_file_.reset();
      if (SinkResult r = reopen(); !r.is_ok()) return r;
    } else {
      current_size_ = static_cast<uint64_t>(st.st_size);
    }
  } else if (rotating) {
    log_file_.reset();
    if (SinkResult r = reopen(); !r.is_ok()) return r;
  }

  if (rotating && current_size_ != 0 &&
      saturating_add(current_size_, line.size()) >= file_max_bytes_) {
    SinkResult rotated = rotate();
    if (!rotated.is_ok()) {
      if (!log_file_) return rotated;
      // The path was opened again: a rotation that cannot be done (a
      // backup that is a directory, a read-only folder) must not cost this
      // line and every later one while the log file itself is writable.
      errors_ += 1;
    }
  }

  if (!log_file_) return SinkResult::failure("rotating file sink has no active file");
  if (leading_newline_) line.insert(line.begin(), '\n');
  size_t written = 0;
  SinkResult result = write_all_to_fd(log_file_.get(), line, written);
  current_size_ = saturating_add(current_size_, written);
  // A line without its newline, or one torn part-way, must not run into the next.
  if (written > 0) leading_newline_ = line[written - 1] != '\n';
  return result;
}

SinkResult RotatingFileSink::reopen() {
  auto opened = open_append_file(path_);
  if (auto* error = std::get_if<std::string>(&opened)) return SinkResult::failure(std::move(*error));
  UniqueFd fd = std::move(std::get<UniqueFd>(opened));
  struct stat st{};
  if (::fstat(fd.get(), &st) == 0) {
    identity_ = Identity{st.st_dev, st.st_ino};
    current_size_ = static_cast<uint64_t>(st.st_size);
  } else {
    identity_.reset();
    current_size_ = 0;
  }
  leading_newline_ = false;
  log_file_ = std::move(fd);
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
