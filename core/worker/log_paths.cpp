#include "core/worker/log_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "core/base/os_error.h"

namespace vorlisk {
namespace {

// Appends one component with a separator unless the text already ends in one.
void push_component(std::string& out, std::string_view component) {
  if (!out.empty() && out.back() != '/') out += '/';
  out += component;
}

bool is_directory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory part of an absolute, lexically clean path: "/a/b" gives
// "/a", "/a" gives "/", the root gives nothing.
std::optional<std::string> parent_of(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::nullopt;
  size_t start = path.rfind('/', end - 1);
  if (start == std::string_view::npos) return std::nullopt;
  size_t parent_end = start;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return std::string(path.substr(0, start + 1));  // "/" or "//"
  return std::string(path.substr(0, parent_end));
}

// The last component when it is a plain name.
std::optional<std::string> name_of(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::nullopt;
  const size_t start = path.rfind('/', end - 1) + 1;  // npos + 1 == 0
  std::string_view last = path.substr(start, end - start);
  if (last == "..") return std::nullopt;
  return std::string(last);
}

}  // namespace

std::string make_absolute_lexically(std::string_view path, std::string_view cwd) {
  if (path.empty()) return std::string(cwd);
  std::string out;
  const bool absolute = path.front() == '/';
  if (absolute) {
    // POSIX leaves a leading "//" to the implementation; three or more are one.
    const bool double_root = path.size() >= 2 && path[1] == '/' && (path.size() == 2 || path[2] != '/');
    out = double_root ? "//" : "/";
  } else {
    out = cwd;
  }
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string_view::npos) next = path.size();
    std::string_view component = path.substr(pos, next - pos);
    if (!component.empty() && component != ".") push_component(out, component);
    pos = next + 1;
  }
  if (path.back() == '/' && out.back() != '/') out += '/';
  return out;
}

std::variant<LogFilePaths, std::string> resolve_log_file_paths(std::string_view file_path) {
  if (file_path.empty()) return std::string("cannot make an empty path absolute");
  if (file_path.find('\0') != std::string_view::npos) {
    return std::string("file name contained an unexpected NUL byte");
  }
  std::string cwd;
  if (file_path.front() != '/') {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return os_error_text(errno);
      buffer.resize(buffer.size() * 2);
    }
    cwd = buffer.data();
  }
  LogFilePaths paths;
  paths.log = make_absolute_lexically(file_path, cwd);
  paths.parent = parent_of(paths.log);
  paths.name = name_of(paths.log);
  if (paths.name) {
    paths.lock = paths.parent ? *paths.parent : std::string();
    push_component(paths.lock, *paths.name + ".lock");
  } else {
    paths.lock = paths.log;
    push_component(paths.lock, ".lock");
  }
  return paths;
}

std::optional<std::string> create_directories(const std::string& dir) {
  if (dir.empty()) return std::nullopt;
  if (::mkdir(dir.c_str(), 0777) == 0) return std::nullopt;
  int err = errno;
  if (err == ENOENT) {
    // Make the missing ancestors first, then try this one again.
    if (auto parent = parent_of(dir); parent && *parent != dir) {
      if (auto failed = create_directories(*parent)) return failed;
    }
    if (::mkdir(dir.c_str(), 0777) == 0) return std::nullopt;
    err = errno;
  }
  // Another process may have made it meanwhile; an existing directory is fine.
  if (is_directory(dir)) return std::nullopt;
  return os_error_text(err);
}

std::string backup_path(std::string_view log, uint64_t k) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, k).ptr;
  std::string path(log);
  path += '.';
  path.append(digits, end);
  return path;
}

std::optional<uint64_t> backup_number(std::string_view file_name, std::string_view name) {
  if (file_name.size() <= name.size() + 1 || file_name.substr(0, name.size()) != name ||
      file_name[name.size()] != '.') {
    return std::nullopt;
  }
  const std::string_view digits = file_name.substr(name.size() + 1);
  if (digits.front() == '0') return std::nullopt;  // "0" and leading zeros name no backup
  uint64_t k = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), k);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return k;
}

}  // namespace vorlisk
