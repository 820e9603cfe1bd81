#include "core/pattern/recent_patterns.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <variant>

#include "core/pattern/size_bounds.h"

namespace vorlisk {

RecentPatterns::RecentPatterns(size_t capacity, size_t byte_limit, size_t entry_limit)
    : capacity_(capacity), byte_limit_(byte_limit), entry_limit_(std::min(entry_limit, byte_limit)) {}

RecentPatterns::~RecentPatterns() = default;

size_t RecentPatterns::entry_bytes(std::string_view text) {
  // The list node with its entry, and the entry's copy of the text.
  return pattern::add_bytes(pattern::allocation_bytes(sizeof(Entry) + 2 * sizeof(void*)),
                            pattern::allocation_bytes(text.size() + 1));
}

size_t RecentPatterns::charge(std::string_view text, const CompiledPattern& pattern) {
  return pattern::add_bytes(entry_bytes(text), pattern.memory_bound());
}

PatternResult RecentPatterns::compile(std::string_view pattern, bool allow_backtracking) {
  // A text that alone takes what an entry may is never kept.
  const size_t entry = entry_bytes(pattern);
  if (entry >= entry_limit_) return compile_pattern(pattern, allow_backtracking);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<CompiledPattern> hit = find_locked(pattern, allow_backtracking)) {
      return std::move(*hit);
    }
  }
  PatternResult result = compile_pattern(pattern, allow_backtracking, entry_limit_ - entry);
  CompiledPattern* compiled = std::get_if<CompiledPattern>(&result);
  if (compiled == nullptr) return result;
  const size_t bytes = charge(pattern, *compiled);
  if (bytes > entry_limit_) return result;  // for this call only
  // The entry is made before the mutex is taken, so that nothing is
  // allocated or freed while it is held.
  std::list<Entry> made;
  made.push_back(Entry{std::string(pattern), allow_backtracking, std::move(*compiled), bytes});
  std::list<Entry> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  return keep(made, dropped);
}

size_t RecentPatterns::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

size_t RecentPatterns::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
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
  bytes_ += entries_.front().bytes;
  CompiledPattern kept = entries_.front().pattern;
  // The new entry, within entry_limit_ and so within byte_limit_, is the
  // last one left.
  while (entries_.size() > capacity_ || bytes_ > byte_limit_) {
    bytes_ -= entries_.back().bytes;
    dropped.splice(dropped.begin(), entries_, std::prev(entries_.end()));
  }
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
