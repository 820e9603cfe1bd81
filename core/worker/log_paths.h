// The names a log file brings with it: its absolute path, the directory to
// create, its lock file and its numbered backups.
//
// Paths are made absolute lexically, the way a user reads them: joined to
// the current directory, "." components and repeated separators dropped,
// ".." kept, symbolic links not resolved, a trailing separator and a
// leading pair of separators (exactly two) kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vorlisk {

struct LogFilePaths {
  std::string log;                    // the absolute path D/N
  std::optional<std::string> parent;  // D; absent for the root itself
  std::optional<std::string> name;    // N; absent when the path ends in ".." or is the root
  std::string lock;                   // N + ".lock" in D (".lock" inside the path when no N)
};

// `cwd` is what getcwd() reports; it is used only for relative paths.
// (An empty `path` is refused by the caller before it gets here.)
std::string make_absolute_lexically(std::string_view path, std::string_view cwd);

// Resolves `file_path` against the process's current directory. A path
// holding a NUL byte is refused before any system call is made.
// Errors: "cannot make an empty path absolute", "file name contained an
// unexpected NUL byte", or the system's text when the current directory
// cannot be read.
std::variant<LogFilePaths, std::string> resolve_log_file_paths(std::string_view file_path);

// Creates `dir` and every missing ancestor (mode 0777 before the umask);
// existing directories are fine. Returns the system's error text, or
// nothing on success.
std::optional<std::string> create_directories(const std::string& dir);

// D/N followed by "." and k.
std::string backup_path(std::string_view log, uint64_t k);

// k when `file_name` is exactly `name` + "." + k, k in decimal without a
// sign or leading zeros and at least 1.
std::optional<uint64_t> backup_number(std::string_view file_name, std::string_view name);

}  // namespace vorlisk
