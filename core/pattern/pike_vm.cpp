#include "core/pattern/pike_vm.h"

#include <algorithm>
#include <utility>

#include "core/base/utf8.h"

namespace vorlisk::pattern {
namespace {

constexpr size_t kUnset = SIZE_MAX;

unsigned char byte_at(std::string_view text, size_t pos) { return static_cast<unsigned char>(text[pos]); }

// The character at `pos` and its size in bytes: kNoCharacter (size 0) at
// the end, kIllFormedByte (size 1) where no well-formed character starts.
char32_t character_at(std::string_view text, size_t pos, size_t& size) {
  if (pos >= text.size()) {
    size = 0;
    return kNoCharacter;
  }
  const Utf8Character character = utf8_character_at(text, pos);
  size = character.size;
  return character.well_formed ? character.code_point : kIllFormedByte;
}

// The character that ends at `pos`, read as character_at reads it.
char32_t character_before(std::string_view text, size_t pos) {
  if (pos == 0) return kNoCharacter;
  if (byte_at(text, pos - 1) < 0x80) return byte_at(text, pos - 1);
  size_t lead = pos - 1;
  while (lead > 0 && pos - lead < 4 && (byte_at(text, lead) & 0xC0) == 0x80) --lead;
  size_t size = 0;
  const char32_t cp = character_at(text, lead, size);
  return lead + size == pos ? cp : kIllFormedByte;
}

}  // namespace

// The thread lists and the stack of add_threads grow to what the searches
// meet: a program near RE2's size limit has a million entries, and with
// dozens of groups, lists sized for every entry would take gigabytes for a
// search of a few characters.
PikeMatcher::PikeMatcher(const PikeProgram& program) : program_(&program) {
  entered_.assign(program.instructions().size(), 0);
  slots_.resize(program.slot_count());
  match_.resize(program.slot_count());
}

PikeMatcher::PikeMatcher(const PikeProgram& program, std::string_view text, bool wants_groups)
    : PikeMatcher(program) {
  reset(text, wants_groups);
}

void PikeMatcher::reset(std::string_view text, bool wants_groups) {
  text_ = text;
  slot_count_ = wants_groups ? program_->slot_count() : 1;
  for (ThreadList* list : {&current_, &next_}) list->slots.resize(list->instructions.size() * slot_count_);
  found_ = false;
}

PikeMatcher::Position PikeMatcher::position_at(size_t offset) const {
  Position at;
  at.offset = offset;
  at.here = character_at(text_, offset, at.here_size);
  if (program_->has_word_assertion()) {
    at.word_before = is_word_character(character_before(text_, offset));
    at.word_here = is_word_character(at.here);
  }
  return at;
}

PikeMatcher::Position PikeMatcher::position_after(const Position& at) const {
  Position next;
  next.offset = at.offset + at.here_size;
  next.here = character_at(text_, next.offset, next.here_size);
  if (program_->has_word_assertion()) {
    next.word_before = at.word_here;
    next.word_here = is_word_character(next.here);
  }
  return next;
}

bool PikeMatcher::holds(Assertion assertion, const Position& at) const {
  switch (assertion) {
    case Assertion::kTextStart:
      return at.offset == 0;
    case Assertion::kTextEnd:
      return at.offset >= text_.size();
    case Assertion::kLineStart:
      return at.offset == 0 || text_[at.offset - 1] == '\n';
    case Assertion::kLineEnd:
      return at.offset >= text_.size() || text_[at.offset] == '\n';
    case Assertion::kWordBoundary:
      return at.word_before != at.word_here;
    case Assertion::kNotWordBoundary:
      return at.word_before == at.word_here;
    case Assertion::kWordStart:
      return !at.word_before && at.word_here;
    case Assertion::kWordEnd:
      return at.word_before && !at.word_here;
    case Assertion::kWordStartHalf:
      return !at.word_before;
    case Assertion::kWordEndHalf:
      return !at.word_here;
  }
  return false;
}

// Where the program starts after the required prefix at the start of the
// text; nothing when the text does not start with it.
std::optional<size_t> PikeMatcher::after_prefix() const {
  size_t offset = 0;
  for (char32_t wanted : program_->required_prefix()) {
    size_t size = 0;
    const char32_t here = character_at(text_, offset, size);
    const bool same = here == wanted || (program_->prefix_fold_case() && wanted >= 'a' && wanted <= 'z' &&
                                         here == wanted - 32);
    if (!same) return std::nullopt;
    offset += size;
  }
  return offset;
}

// slots_ for a thread that starts at `offset`.
void PikeMatcher::start_thread(size_t offset) {
  slots_[0] = offset;
  for (size_t i = 1; i < slot_count_; ++i) slots_[i] = kUnset;
}

void PikeMatcher::next_mark() {
  if (++mark_ == 0) {
    std::fill(entered_.begin(), entered_.end(), 0);
    mark_ = 1;
  }
}

// A list keeps each entry at most once per position: it never needs more
// room than the program has entries.
void PikeMatcher::make_room(ThreadList& list) const {
  const size_t room = std::min(program_->instructions().size(), 2 * list.size + 64);
  list.instructions.resize(room);
  list.slots.resize(room * slot_count_);
}

void PikeMatcher::keep_thread(ThreadList& list, uint32_t instruction) {
  if (list.size == list.instructions.size()) [[unlikely]] make_room(list);
  list.instructions[list.size] = instruction;
  size_t* slots = list.slots.data() + list.size * slot_count_;
  for (size_t i = 0; i < slot_count_; ++i) slots[i] = slots_[i];
  ++list.size;
}

// Enters the list at `first` with slots_ as the thread's slots, taking its
// entries in order and each list they lead to before the rest of its own,
// and keeps a thread for every consuming entry the character here fits
// and every match. An entry already taken at this position is not taken
// again: a better-ranked thread has been there.
void PikeMatcher::add_threads(ThreadList& list, uint32_t first, const Position& at) {
  const PikeInstruction* code = program_->instructions().data();
  Pending* pending = pending_.data();
  size_t room = pending_.size();
  size_t waiting = 0;
  uint32_t id = first;
  for (;;) {
    while (entered_[id] != mark_) {
      entered_[id] = mark_;
      // Each entry taken pushes at most two; all of them, at most twice
      // the program's entries.
      if (waiting + 2 > room) [[unlikely]] {
        pending_.resize(2 * room + 64);
        pending = pending_.data();
        room = pending_.size();
      }
      const PikeInstruction& in = code[id];
      switch (in.op) {
        case PikeOpcode::kFail:
          break;
        case PikeOpcode::kNop:
          if (!in.last) pending[waiting++] = {id + 1, false, 0};
          id = in.out;
          continue;
        case PikeOpcode::kCapture:
          if (!in.last) pending[waiting++] = {id + 1, false, 0};
          if (in.arg < slot_count_) {
            pending[waiting++] = {in.arg, true, slots_[in.arg]};
            slots_[in.arg] = at.offset;
          }
          id = in.out;
          continue;
        case PikeOpcode::kAssertion:
          if (!in.last) pending[waiting++] = {id + 1, false, 0};
          if (!holds(static_cast<Assertion>(in.arg), at)) break;
          id = in.out;
          continue;
        case PikeOpcode::kCodePoint:
        case PikeOpcode::kClass: {
          const bool fits = in.op == PikeOpcode::kCodePoint ? at.here == in.arg
                                                             : program_->code_point_class(in.arg).contains(at.here);
          if (fits) keep_thread(list, id);
          if (in.last) break;
          ++id;
          continue;
        }
        case PikeOpcode::kMatch:
          keep_thread(list, id);
          if (in.last) break;
          ++id;
          continue;
      }
      break;
    }
    // Back to the work left, restoring slots on the way.
    for (;;) {
      if (waiting == 0) return;
      const Pending& step = pending[--waiting];
      if (!step.restores_slot) {
        id = step.index;
        break;
      }
      slots_[step.index] = step.slot_value;
    }
  }
}

SearchStatus PikeMatcher::find(size_t from, MatchBounds& found) {
  found_ = false;
  const bool has_prefix = !program_->required_prefix().empty();
  const bool anchored = program_->anchored_at_start() || has_prefix;
  if (from > text_.size() || (anchored && from != 0) || program_->start() == 0) return SearchStatus::kNotFound;
  size_t start_at = from;
  if (has_prefix) {
    const std::optional<size_t> after = after_prefix();
    if (!after || (program_->anchored_at_start() && *after != 0)) return SearchStatus::kNotFound;
    start_at = *after;
  }
  const std::span<const PikeInstruction> code = program_->instructions();

  Position at = position_at(start_at);
  next_mark();
  current_.size = 0;
  start_thread(from);
  add_threads(current_, program_->start(), at);

  while (current_.size > 0 || !(found_ || anchored)) {
    const bool at_end = at.offset >= text_.size();
    const Position next = at_end ? at : position_after(at);
    next_mark();
    next_.size = 0;
    for (size_t i = 0; i < current_.size; ++i) {
      const PikeInstruction& in = code[current_.instructions[i]];
      const size_t* slots = current_.slots.data() + i * slot_count_;
      if (in.op == PikeOpcode::kMatch) {
        if (program_->anchored_at_end() && !at_end) continue;
        // Every thread ranked below this one is cut off.
        std::copy_n(slots, slot_count_, match_.begin());
        match_[1] = at.offset;
        found_ = true;
        break;
      }
      // Only threads whose character is here were kept.
      for (size_t k = 0; k < slot_count_; ++k) slots_[k] = slots[k];
      add_threads(next_, in.out, next);
    }
    if (at_end) break;
    if (!found_ && !anchored) {
      start_thread(next.offset);
      add_threads(next_, program_->start(), next);
    }
    std::swap(current_, next_);
    at = next;
  }
  if (!found_) return SearchStatus::kNotFound;
  found.start = match_[0];
  found.end = match_[1];
  return SearchStatus::kFound;
}

std::optional<std::string_view> PikeMatcher::group_text(uint32_t number) const {
  if (!found_) return std::nullopt;
  const size_t first = 2 * static_cast<size_t>(number);
  if (number > 0 && first + 1 >= slot_count_) return std::nullopt;
  const size_t start = match_[first];
  const size_t end = match_[first + 1];
  if (start == kUnset || end == kUnset || start > end) return std::nullopt;
  return text_.substr(start, end - start);
}

}  // namespace vorlisk::pattern
