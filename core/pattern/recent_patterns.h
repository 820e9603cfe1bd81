// Recently compiled value patterns, kept so that a pattern given anew at
// every call (the per-call patterns of the render functions) is compiled
// once while it stays in use.
//
// An entry is keyed by the pattern text and by whether backtracking was
// allowed: for one text the two compiles may give different engines, or
// an error for one only. A hit gives a CompiledPattern sharing the entry's
// engine, which is immutable and searched safely by any number of threads
// (its programs built on first need are published without a lock).
//
// The table is bounded by what its entries hold, not by their number
// alone: each entry is charged, when it is kept, the most its engine can
// ever hold (CompiledPattern::memory_bound: every program it may build
// later and every cache at its budget, whichever threads search it) with
// its text. Patterns are compiled for the table with their automata's
// caches confined (linear_engine.h), so that a common pattern is charged
// a MiB or two; a pattern that would be charged more than `entry_limit`
// bytes even so (a large program, such as that of \w{300}, may take
// megabytes by itself) is compiled for its call only and not kept.
// The table holds at most `capacity` entries and `byte_limit` bytes of
// charges, the least recently used dropped first. A failed compile is not
// kept: every call that gives the pattern compiles it again and gets the
// same error.
//
// Thread safety: compile(), size() and bytes() may be called from any
// number of threads at once. One mutex guards the table; it is held only
// to look up, insert, reorder and drop entries, never while a pattern
// compiles or an engine is destroyed, and its holder takes no other lock. It is listed with the
// fork guard among the others, so a child never inherits it held. The
// engines it hands out are searched, as every per-call pattern is, with the
// interpreter lock held, so no thread is inside one of RE2's own locks when
// another forks (linear_engine.h).
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/fork_guard.h"
#include "core/pattern/pattern.h"

namespace vorlisk {

inline constexpr size_t kRecentPatternCapacity = 32;
inline constexpr size_t kRecentPatternBytes = 16 * 1024 * 1024;
inline constexpr size_t kRecentPatternEntryBytes = 4 * 1024 * 1024;

class RecentPatterns final : public ForkGuarded {
 public:
  // `entry_limit` is taken as at most `byte_limit`.
  explicit RecentPatterns(size_t capacity = kRecentPatternCapacity,
                          size_t byte_limit = kRecentPatternBytes,
                          size_t entry_limit = kRecentPatternEntryBytes);
  RecentPatterns(const RecentPatterns&) = delete;
  RecentPatterns& operator=(const RecentPatterns&) = delete;
  ~RecentPatterns();

  // What compile_pattern(pattern, allow_backtracking) gives, from the table
  // when the pattern was compiled recently.
  PatternResult compile(std::string_view pattern, bool allow_backtracking);

  // The number of entries held, and the sum of their charges.
  size_t size() const;
  size_t bytes() const;

  // What keeping `pattern` compiled from `text` is charged.
  static size_t charge(std::string_view text, const CompiledPattern& pattern);

  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  void unlock_after_fork_in_child() override;

 private:
  friend struct RecentPatternsTestAccess;

  struct Entry {
    std::string text;
    bool allow_backtracking;
    CompiledPattern pattern;
    size_t bytes;  // its charge
  };

  // What an entry takes besides its engine.
  static size_t entry_bytes(std::string_view text);
  // The entry's pattern, now the most recently used; mutex_ held.
  std::optional<CompiledPattern> find_locked(std::string_view pattern, bool allow_backtracking);
  // Keeps `made` (one entry) unless another thread kept the same pattern
  // first, and gives the pattern kept. The entries pushed out go to
  // `dropped`, and an unused `made` stays there: both are destroyed once
  // the mutex is released.
  CompiledPattern keep(std::list<Entry>& made, std::list<Entry>& dropped);

  const size_t capacity_;
  const size_t byte_limit_;
  const size_t entry_limit_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first; guarded by mutex_
  size_t bytes_ = 0;          // the entries' charges; guarded by mutex_
  ForkGuardRegistration fork_registration_{this};
};

// The process-wide table, made as the code loads and never destroyed
// (threads may still render while the process exits).
RecentPatterns& recent_patterns();

}  // namespace vorlisk
