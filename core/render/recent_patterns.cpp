#include "core/render/recent_patterns.h"

#include <iterator>
#include <utility>
#include <variant>

namespace vorlisk {

RecentPatterns::RecentPatterns(size_t capacity) : capacity_(capacity) {}

RecentPatterns::~RecentPatterns() = default;

PatternResult RecentPatterns::compile(std::string_view pattern, bool allow_backtracking) {
  if (pattern.size() > kRecentPatternMaxBytes) return compile_pattern(pattern, allow_backtracking);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<CompiledPattern> hit = find_locked(pattern, allow_backtracking)) {
      return std::move(*hit);
    }
  }
  PatternResult result = compile_pattern(pattern, allow_backtracking);
  CompiledPattern* compiled = std::get_if<CompiledPattern>(&result);
  if (compiled == nullptr) return result;
  // The entry is made before the mutex is taken, so that nothing is
  // allocated or freed while it is held.
  std::list<Entry> made;
  made.push_back(Entry{std::string(pattern), allow_backtracking, std::move(*compiled)});
  std::list<Entry> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  return keep(made, dropped);
}

size_t RecentPatterns::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::optional<CompiledPattern> RecentPatterns::find_locked(std::string_view pattern,
                                                           bool allow_backtracking) {
  for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
    if (entry->allow_backtracking == allow_backtracking && entry->text == pattern) {
      entries_.splice(entries_.begin(), entries_, entry);
      return entry->pattern;
    }
  }
  return std::nullopt;
}

CompiledPattern RecentPatterns::keep(std::list<Entry>& made, std::list<Entry>& dropped) {
  const Entry& entry = made.front();
  if (std::optional<CompiledPattern> kept = find_locked(entry.text, entry.allow_backtracking)) {
    return std::move(*kept);
  }
  entries_.splice(entries_.begin(), made);
  CompiledPattern kept = entries_.front().pattern;
  if (entries_.size() > capacity_) dropped.splice(dropped.begin(), entries_, std::prev(entries_.end()));
  return kept;
}

void RecentPatterns::lock_for_fork() { mutex_.lock(); }
void RecentPatterns::unlock_after_fork_in_parent() { mutex_.unlock(); }
void RecentPatterns::unlock_after_fork_in_child() { mutex_.unlock(); }

RecentPatterns& recent_patterns() {
  static RecentPatterns* const table = new RecentPatterns;
  return *table;
}

namespace {

// Made as the code loads, before any thread can hold a listed lock: listing
// takes the fork guard's list lock, which a forking thread holds while it
// waits for theirs; and a child never finds the table half made.
[[maybe_unused]] RecentPatterns& g_recent_patterns_at_load = recent_patterns();

}  // namespace

}  // namespace vorlisk
