// Recently compiled value patterns, kept so that a pattern given anew at
// every call (the per-call patterns of the render functions) is compiled
// once while it stays in use.
//
// An entry is keyed by the pattern text and by whether backtracking was
// allowed: for one text the two compiles may give different engines, or
// an error for one only. A hit gives a CompiledPattern sharing the entry's
// engine, which is immutable and searched safely by any number of threads
// (its programs built on first need are published without a lock). The
// table holds at most `capacity` entries, the least recently used dropped
// first, and never a text longer than kRecentPatternMaxBytes, so that what
// it holds stays bounded: an entry of a common pattern takes well under a
// MiB, but one whose RE2 programs come near their limit takes tens of MiB
// once texts have needed both forms. A failed compile is not kept: every
// call that gives the pattern compiles it again and gets the same error.
//
// Thread safety: compile() and size() may be called from any number of
// threads at once. One mutex guards the table; it is held only to look up,
// insert and reorder entries, never while a pattern compiles or an engine
// is destroyed, and its holder takes no other lock. It is listed with the
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
#include "core/render/pattern.h"

namespace vorlisk {

inline constexpr size_t kRecentPatternCapacity = 32;
inline constexpr size_t kRecentPatternMaxBytes = 4096;

class RecentPatterns final : public ForkGuarded {
 public:
  explicit RecentPatterns(size_t capacity = kRecentPatternCapacity);
  RecentPatterns(const RecentPatterns&) = delete;
  RecentPatterns& operator=(const RecentPatterns&) = delete;
  ~RecentPatterns();

  // What compile_pattern(pattern, allow_backtracking) gives, from the table
  // when the pattern was compiled recently.
  PatternResult compile(std::string_view pattern, bool allow_backtracking);

  // The number of entries held.
  size_t size() const;

  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  void unlock_after_fork_in_child() override;

 private:
  friend struct RecentPatternsTestAccess;

  struct Entry {
    std::string text;
    bool allow_backtracking;
    CompiledPattern pattern;
  };

  // The entry's pattern, now the most recently used; mutex_ held.
  std::optional<CompiledPattern> find_locked(std::string_view pattern, bool allow_backtracking);
  // Keeps `made` (one entry) unless another thread kept the same pattern
  // first, and gives the pattern kept. The entry pushed out goes to
  // `dropped`, and an unused `made` stays there: both are destroyed once
  // the mutex is released.
  CompiledPattern keep(std::list<Entry>& made, std::list<Entry>& dropped);

  const size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first; guarded by mutex_
  ForkGuardRegistration fork_registration_{this};
};

// The process-wide table, made as the code loads and never destroyed
// (threads may still render while the process exits).
RecentPatterns& recent_patterns();

}  // namespace vorlisk
