// Our own linear-time matcher, step three: the search (a Pike VM over code
// points) that runs a PikeProgram (pike_program.h), as RE2's NFA runs its
// own.
//
// Threads run in lockstep, one character at a time, in priority order. At
// each position, a thread goes on by entering lists: their entries are
// taken in order, a capture or a holding assertion enters its next list
// first and the rest of its own list after, and each list is entered at
// most once per position, so a thread that comes to a list a better-ranked
// one already entered ends there. A match ends every thread ranked below
// it; the better-ranked ones run on and may replace it. Until a match is
// found, a new thread starts at each position, ranked last. The result is
// RE2's leftmost-first match, with its groups.
//
// Assertions read the whole text, also before the position a search
// starts from: \A and \z at its ends, (?m) "^" at the start and after every
// line feed (also a final one), (?m) "$" at the end and before every line
// feed, and the word assertions the Unicode \w of the characters on either
// side (none past either end). Text that is not UTF-8 is searched too: each
// byte that starts no well-formed character reads as one character,
// kIllFormedByte; a match never starts or ends inside a character.
//
// A search costs O(program size x characters searched) steps, or that
// times the capture slots when groups are wanted; it never fails and never
// recurses. Without groups, a thread carries only where its match started.
//
// Thread safety: a PikeMatcher holds one search's state (the marks of
// entered lists, O(program size), allocated with the matcher; thread lists
// and capture slots, grown to what the searches meet, O(program size x
// slots) at most, and reused by every search) and belongs to one thread at
// a time. The program it runs is only read, and may be shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/pattern/match_loop.h"
#include "core/pattern/pike_program.h"

namespace vorlisk::pattern {

class PikeMatcher {
 public:
  // `program` must outlive the matcher, and `text` each search of it.
  explicit PikeMatcher(const PikeProgram& program);
  PikeMatcher(const PikeProgram& program, std::string_view text, bool wants_groups);

  // Searches `text` from now on, recording groups or only the whole match.
  void reset(std::string_view text, bool wants_groups);

  // The leftmost-first match starting at or after `from`, a position
  // between characters; a replace_all_matches Matcher (match_loop.h).
  SearchStatus find(size_t from, MatchBounds& found);

  // A group of the last match found; nothing when it did not take part,
  // or when groups were not wanted (but group 0, the whole match).
  std::optional<std::string_view> group_text(uint32_t number) const;

 private:
  // Where the search stands: between the character before and the one at
  // `offset` (kNoCharacter past the ends).
  struct Position {
    size_t offset = 0;
    char32_t here = kNoCharacter;
    size_t here_size = 0;
    bool word_before = false;
    bool word_here = false;
  };

  // The threads at one position, best-ranked first: each at a kMatch or at
  // an entry that consumes the character there, with its slots.
  struct ThreadList {
    std::vector<uint32_t> instructions;  // room for instructions.size() threads
    std::vector<size_t> slots;           // slot_count_ per thread
    size_t size = 0;
  };

  // Work left while entering lists: an entry to take, or a capture slot
  // to put back as it was before a capture changed it.
  struct Pending {
    uint32_t index;  // an entry, or the slot to put back
    bool restores_slot;
    size_t slot_value;
  };

  Position position_at(size_t offset) const;
  Position position_after(const Position& at) const;
  bool holds(Assertion assertion, const Position& at) const;
  std::optional<size_t> after_prefix() const;
  void add_threads(ThreadList& list, uint32_t first, const Position& at);
  void keep_thread(ThreadList& list, uint32_t instruction);
  void make_room(ThreadList& list) const;
  void start_thread(size_t offset);
  void next_mark();

  const PikeProgram* program_;
  std::string_view text_;
  size_t slot_count_ = 1;  // slots carried per thread: 1 (the start) without groups

  ThreadList current_;
  ThreadList next_;
  std::vector<uint32_t> entered_;  // per entry: the mark of the last position it was taken at
  uint32_t mark_ = 0;
  std::vector<Pending> pending_;  // the stack of add_threads, grown as needed
  std::vector<size_t> slots_;  // the slots of the thread being followed

  bool found_ = false;
  std::vector<size_t> match_;  // the slots of the last match; match_[1] its end
};

}  // namespace vorlisk::pattern
