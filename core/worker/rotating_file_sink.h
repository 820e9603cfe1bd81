// A log file rotated by size into numbered backups, shared safely with other
// processes that follow the same protocol:
//
//  * every byte is written under an exclusive flock(2) on the lock file
//    N.lock beside the log file N, which is never written or removed;
//  * at the start of every hold of that lock the file at the path is
//    compared, by (device, inode), with the one held open, so rotations and
//    replacements done by others are seen and followed, and the size is
//    refreshed from the path so the threshold applies to what every process
//    wrote; while the lock is held nobody else appends, so the size stays
//    exact for the rest of the hold;
//  * a line rotates first when the file is non-empty and its size plus the
//    line would reach `file_max_bytes`: N.(n) is removed, N.(k-1) becomes
//    N.k, N becomes N.1, and a new N is opened.
//
// The worker hands over the lines that are ready, and one hold writes up to
// kLinesPerHold of them with one writev(2) between rotations. A hold ends
// after kBytesPerHold bytes, or at a rotation once it has lasted
// kHoldTime, so other processes are not kept waiting and a file moved away
// without the lock is noticed by the next hold.
//
// A line that did not end in a newline makes the next one start on a line
// of its own, and so does a file that another process left ending mid-line
// (a write of its cut short by a full disk, a size limit or its death):
// whenever the file is not as this sink last left it (someone else wrote,
// or this sink has not written to it yet), its last byte is read under the
// lock. That line feed counts in the size like any byte written. Nothing
// is buffered beyond the lines handed over: flush has nothing to do.
//
// Every descriptor the sink holds stays with the process that opened it
// (fork_local_fd.h): in a forked child the copy of the sink holds none, so
// the lock of a parent that dies while writing is not kept by the child.
// Nothing there uses that copy (it belongs to a worker that did not come
// along); if something did, its writes would fail and dropping it would
// close nothing the child opened.
//
// Thread safety: a sink belongs to one worker thread (see `LineSink`).
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/base/fork_local_fd.h"
#include "core/worker/line_sink.h"

namespace vorlisk {

// Opens the log file N for appending (creating it with mode 0600, close on
// exec) into `file`, in place of what it held; the system's error text on
// failure, `file` unchanged.
std::optional<std::string> open_append_file(ForkLocalFd& file, const std::string& path);

// flock(LOCK_EX), repeated while interrupted by a signal.
SinkResult flock_exclusive(int fd);

// The bounds of one hold of the lock: lines, bytes (at least one line is
// written whatever its length), and the time after which it ends at the
// next rotation.
inline constexpr size_t kLinesPerHold = 64;
inline constexpr uint64_t kBytesPerHold = 64 * 1024;
inline constexpr std::chrono::microseconds kHoldTime{1000};

class RotatingFileSink final : public LineSink {
 public:
  // Resolves the path, creates its directory, and opens the log file while
  // holding the lock. Runs without the interpreter lock. Errors: "cannot
  // make an empty path absolute", "file name contained an unexpected NUL
  // byte", or the system's text for the step that failed; nothing is left
  // open after a failure.
  static std::variant<std::unique_ptr<RotatingFileSink>, std::string> open(
      std::string_view file_path, uint64_t file_max_bytes, uint64_t file_backup_count);

  // One line in a hold of its own.
  SinkResult write_line(std::string& line) override;
  SinkResult flush() override { return SinkResult::ok(); }
  // From `write_line`: failures beyond its result (a rotation that failed
  // while the line still reached the log file, an unlock that failed).
  uint64_t take_errors() override { return std::exchange(errors_, 0); }

  size_t batch_lines() const override { return kLinesPerHold; }
  // One hold: the path is checked, then lines are written until all are,
  // a line fails (the lines after it wait for the next hold), or a bound
  // of the hold is reached. A failed rotation that still left the log
  // file open is one error for its line, which is written all the same; a
  // failed unlock is one error more, the lines being in the file.
  WriteTally write_lines(std::span<std::string> lines) override;

  const std::string& path() const { return path_; }
  const std::string& lock_path() const { return lock_path_; }

 private:
  using Identity = std::pair<dev_t, ino_t>;

  RotatingFileSink() = default;

  bool rotating() const { return file_max_bytes_ != 0 && file_backup_count_ != 0; }
  // Whether a line of `length` bytes rotates first at this size.
  bool rotation_due(uint64_t size, size_t length) const;
  // Everything between taking and releasing the lock.
  void write_hold(std::span<std::string> lines, WriteTally& tally);
  // Opens the path again when the open file is no longer there (or cannot
  // be told apart), else takes the size from it.
  SinkResult follow_path();
  // Writes the lines from `tally.lines` on up to the next rotation (or the
  // hold's byte bound) with one writev; false when a line failed.
  bool write_run(std::span<std::string> lines, WriteTally& tally, uint64_t& hold_bytes,
                 bool rotation_failed);
  // Counts the next line as lost with `result`'s text.
  void lose_line(WriteTally& tally, SinkResult result);
  // Under the lock, when the file may have changed since this sink last
  // wrote: reads whether it ends mid-line, so that the next line starts
  // with a line feed. A file that cannot be read is taken to end a line.
  void learn_tail();
  // Whether the open file's last byte is one other than a line feed.
  bool ends_mid_line();
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
  ForkLocalFd lock_file_;
  ForkLocalFd log_file_;
  ForkLocalFd tail_reader_;  // the open file for reading, once needed; -1 else
  bool regular_ = false;  // the open file is a regular file (others have no tail to read)
  bool leading_newline_ = false;
  // `leading_newline_` tells how the file ends: it is the file this sink
  // last wrote to, at the size it left it.
  bool tail_known_ = false;
  uint64_t errors_ = 0;
  std::string last_error_;  // why the last lost line was lost
  std::array<iovec, 2 * kLinesPerHold> parts_{};  // a newline and the line, per line
};

// Backup counts up to this are shifted by probing every number, as the
// layout reads; larger ones list the directory and shift only what exists,
// so a huge count costs no more than a small one.
inline constexpr uint64_t kProbedBackupLimit = 64;

}  // namespace vorlisk
