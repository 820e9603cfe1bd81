// A log file rotated by size into numbered backups, shared safely with other
// processes that follow the same protocol:
//
//  * every write runs under an exclusive flock(2) on the lock file N.lock
//    beside the log file N, which is never written or removed;
//  * before every write the file at the path is compared, by (device,
//    inode), with the one held open, so rotations and replacements done by
//    others are seen and followed, and the size is refreshed from the path
//    so the threshold applies to what every process wrote;
//  * the next line rotates first when the file is non-empty and its size
//    plus the line would reach `file_max_bytes`: N.(n) is removed, N.(k-1)
//    becomes N.k, N becomes N.1, and a new N is opened.
//
// A line that did not end in a newline makes the next one start on a line
// of its own. Nothing is buffered: flush has nothing to do.
//
// Thread safety: a sink belongs to one worker thread (see `LineSink`).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/worker/line_sink.h"
#include "core/worker/unique_fd.h"

namespace vorlisk {

// Opens the log file N for appending (creating it with mode 0600, close on
// exec); the system's error text on failure.
std::variant<UniqueFd, std::string> open_append_file(const std::string& path);

// flock(LOCK_EX), repeated while interrupted by a signal.
SinkResult flock_exclusive(int fd);

class RotatingFileSink final : public LineSink {
 public:
  // Resolves the path, creates its directory, and opens the log file while
  // holding the lock. Runs without the interpreter lock. Errors: "cannot
  // make an empty path absolute", "file name contained an unexpected NUL
  // byte", or the system's text for the step that failed; nothing is left
  // open after a failure.
  static std::variant<std::unique_ptr<RotatingFileSink>, std::string> open(
      std::string_view file_path, uint64_t file_max_bytes, uint64_t file_backup_count);

  SinkResult write_line(std::string& line) override;
  SinkResult flush() override { return SinkResult::ok(); }
  // Rotations that failed while the line still reached the log file.
  uint64_t take_errors() override { return std::exchange(errors_, 0); }

  const std::string& path() const { return path_; }
  const std::string& lock_path() const { return lock_path_; }

 private:
  using Identity = std::pair<dev_t, ino_t>;

  RotatingFileSink() = default;

  // Everything between taking and releasing the lock.
  SinkResult write_locked(std::string& line);
  // Opens the path again; the old descriptor is closed only on success.
  SinkResult reopen();
  SinkResult rotate();
  SinkResult shift_backups();
  SinkResult shift_existing_backups();

  std::optional<Identity> identity_;
  std::string path_;
  std::string dir_;   // D
  std::string name_;  // N
  std::string lock_path_;
  uint64_t file_max_bytes_ = 0;     // 0 disables rotation
  uint64_t file_backup_count_ = 0;  // 0 disables rotation
  uint64_t current_size_ = 0;
  UniqueFd lock_file_;
  UniqueFd log_file_;
  bool leading_newline_ = false;
  uint64_t errors_ = 0;
};

// Backup counts up to this are shifted by probing every number, as the
// layout reads; larger ones list the directory and shift only what exists,
// so a huge count costs no more than a small one.
inline constexpr uint64_t kProbedBackupLimit = 64;

}  // namespace vorlisk
