#include "core/pattern/linear_engine.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <utility>

#include "core/base/utf8.h"
#include "core/pattern/linear_memory.h"
#include "core/pattern/match_loop.h"
#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"
#include "core/pattern/published_once.h"
#include "core/pattern/re2_program_bound.h"
#include "core/pattern/size_bounds.h"

namespace vorlisk {
namespace {

using pattern::PikeMatcher;
using pattern::PikeProgram;
using pattern::Re2Form;

// RE2 gives two thirds of its memory budget to the forward program and the
// rest to the reverse one; whatever a program leaves of its share is the
// cache of its lazily built automaton.
constexpr int64_t kMemoryBudget = static_cast<int64_t>(kLinearProgramLimit) * 3 / 2;
constexpr size_t kInstructionLimit = pattern::re2_instruction_limit(kLinearProgramLimit);

RE2::Options expression_options(int64_t memory_budget = kMemoryBudget) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_posix_syntax(false);  // Perl classes, \b, and "^"/"$" at the text ends only
  options.set_longest_match(false);
  options.set_log_errors(false);
  options.set_max_mem(memory_budget);
  options.set_literal(false);
  options.set_never_nl(false);
  options.set_dot_nl(false);
  options.set_never_capture(false);
  options.set_case_sensitive(true);
  return options;
}

re2::StringPiece piece(std::string_view text) { return re2::StringPiece(text.data(), text.size()); }

std::string error_text(const RE2& re) {
  if (re.error_code() == RE2::ErrorPatternTooLarge) {
    return "Compiled regex exceeds size limit of " + std::to_string(kLinearProgramLimit) + " bytes.";
  }
  return re.error();  // not reached for a form written from a valid tree
}

// Searches for positions only; with groups wanted, each match found is
// searched again anchored at its start for its groups, which gives the
// same match, so nothing is allocated for a text without a match.
class Re2Matcher {
 public:
  Re2Matcher(const RE2& re, std::string_view text, bool wants_groups)
      : re_(re), text_(text), wants_groups_(wants_groups) {}

  SearchStatus find(size_t from, MatchBounds& found) {
    re2::StringPiece whole;
    if (!re_.Match(piece(text_), from, text_.size(), RE2::UNANCHORED, &whole, 1)) {
      return SearchStatus::kNotFound;
    }
    found.start = static_cast<size_t>(whole.data() - text_.data());
    found.end = found.start + whole.size();
    if (wants_groups_) {
      groups_.assign(static_cast<size_t>(re_.NumberOfCapturingGroups()) + 1, re2::StringPiece());
      if (!re_.Match(piece(text_), found.start, text_.size(), RE2::ANCHOR_START, groups_.data(),
                     static_cast<int>(groups_.size()))) {
        groups_.assign(1, whole);
      }
    }
    return SearchStatus::kFound;
  }

  std::optional<std::string_view> group_text(uint32_t number) const {
    if (number >= groups_.size() || groups_[number].data() == nullptr) return std::nullopt;
    return std::string_view(groups_[number].data(), groups_[number].size());
  }

 private:
  const RE2& re_;
  std::string_view text_;
  bool wants_groups_;
  std::vector<re2::StringPiece> groups_;
};

// The exact matches, from the Pike VM. A relaxed RE2 form, which matches
// wherever the pattern does, finds where the first match may start, so
// that the common text without a match costs one RE2 scan, and the VM is
// only set up for a text where a match may start.
//
// Only the first search asks RE2 where: to place its leftmost match RE2
// scans on to where the match ends and past it while a better-ranked
// thread lives, which for a relaxed form (an assertion left out) may be
// the end of the text each time, though the exact match is short. Every
// later search asks RE2 only whether a match ends anywhere after it, which
// stops at the first end found, never past the end of the next exact match
// (itself a match of the relaxed form), where the VM, searching on from
// there, goes anyway.
class PikeVmMatcher {
 public:
  PikeVmMatcher(const PikeProgram& program, const RE2* starts, std::string_view text,
                bool wants_groups)
      : program_(program), starts_(starts), text_(text), wants_groups_(wants_groups) {}

  SearchStatus find(size_t from, MatchBounds& found) {
    if (starts_ != nullptr && !vm_) {
      re2::StringPiece whole;
      if (!starts_->Match(piece(text_), from, text_.size(), RE2::UNANCHORED, &whole, 1)) {
        return SearchStatus::kNotFound;
      }
      // No match starts between `from` and the candidate, which RE2 may
      // place inside a character (its assertions are tested at every
      // byte): the VM starts on the character holding it.
      from = std::max(from, static_cast<size_t>(whole.data() - text_.data()));
      while (!is_char_boundary(text_, from)) --from;
    } else if (starts_ != nullptr &&
               !starts_->Match(piece(text_), from, text_.size(), RE2::UNANCHORED, nullptr, 0)) {
      return SearchStatus::kNotFound;
    }
    if (!vm_) vm_.emplace(program_, text_, wants_groups_);
    return vm_->find(from, found);
  }

  std::optional<std::string_view> group_text(uint32_t number) const {
    return vm_ ? vm_->group_text(number) : std::nullopt;
  }

 private:
  const PikeProgram& program_;
  const RE2* starts_;
  std::string_view text_;
  bool wants_groups_;
  std::optional<PikeMatcher> vm_;
};

}  // namespace

// The tree and every program made from it, each built on first need.
struct LinearExpression::Programs {
  explicit Programs(pattern::PatternTree parsed) : tree(std::move(parsed)) {}

  static size_t index(Re2Form form) { return form == Re2Form::kAscii ? 0 : 1; }

  // RE2's program of `form`; null when RE2 could not build it.
  const RE2* re2(Re2Form form) const {
    const RE2* re = (form == Re2Form::kAscii ? ascii : full).get_or_build([&] { return build(form); });
    return re->ok() ? re : nullptr;
  }

  std::unique_ptr<RE2> build(Re2Form form) const {
    const RE2::Options options = expression_options(re2_budgets[index(form)]);
    if (form == Re2Form::kFull) return std::make_unique<RE2>(piece(full_text()), options);
    return std::make_unique<RE2>(pattern::emit_re2(tree, form), options);
  }

  // What this object may come to hold, with `re2_budgets` as they are.
  size_t bound(const pattern::TreeMeasure& measure) const {
    size_t bytes = pattern::allocation_bytes(sizeof(Programs));
    bytes = pattern::add_bytes(bytes, measure.tree_bytes);
    bytes = pattern::add_bytes(bytes, pattern::allocation_bytes(pattern::form_text_bound(measure)));
    for (int64_t budget : re2_budgets) {
      bytes = pattern::add_bytes(bytes, pattern::allocation_bytes(sizeof(RE2)));
      bytes = pattern::add_bytes(bytes, pattern::re2_memory_bound(measure, budget));
    }
    return pattern::add_bytes(bytes, pattern::pike_memory_bound(measure));
  }

  const std::string& full_text() const {
    return *full_form.get_or_build(
        [&] { return std::make_unique<std::string>(pattern::emit_re2(tree, Re2Form::kFull)); });
  }

  // The Pike VM's program: null only for a tree the linear parse never
  // makes.
  const PikeProgram* pike() const {
    return exact.get_or_build([&]() -> std::unique_ptr<PikeProgram> {
      std::optional<PikeProgram> program = PikeProgram::compile(tree);
      if (!program) return nullptr;
      return std::make_unique<PikeProgram>(std::move(*program));
    });
  }

  pattern::PatternTree tree;
  // RE2's memory budget for the ASCII and the full form; set at compile.
  int64_t re2_budgets[2] = {kMemoryBudget, kMemoryBudget};
  size_t memory_bound = 0;
  PublishedOnce<std::string> full_form;
  PublishedOnce<RE2> ascii;
  PublishedOnce<RE2> full;
  PublishedOnce<PikeProgram> exact;
};

std::variant<LinearExpression, std::string> LinearExpression::compile(std::string_view pattern,
                                                                     size_t memory_cap) {
  auto parsed = pattern::parse_linear_pattern(pattern);
  if (auto* error = std::get_if<std::string>(&parsed)) return std::move(*error);
  auto programs = std::make_unique<Programs>(std::move(std::get<pattern::PatternTree>(parsed)));
  const size_t full_instructions = pattern::re2_instruction_bound(programs->tree, Re2Form::kFull);
  const size_t ascii_instructions = pattern::re2_instruction_bound(programs->tree, Re2Form::kAscii);
  // A program that may outgrow the limit is built now, with the default
  // budget, so that its error is the pattern's. The ASCII form is never
  // larger than the full one but for a few instructions; should it fail
  // where the full one does not, the Pike VM searches ASCII text alone.
  const bool built_now = full_instructions > kInstructionLimit || ascii_instructions > kInstructionLimit;
  if (full_instructions > kInstructionLimit) {
    std::unique_ptr<RE2> full = programs->build(Re2Form::kFull);
    if (!full->ok()) return error_text(*full);
    programs->full.set(std::move(full));
  }
  if (ascii_instructions > kInstructionLimit) programs->re2(Re2Form::kAscii);
  const pattern::TreeMeasure measure = pattern::measure_tree(programs->tree);
  programs->memory_bound = programs->bound(measure);
  if (!built_now && programs->memory_bound > memory_cap) {
    // Every program is still to be built: their budgets may be cut.
    for (const auto& [form, instructions] : {std::pair{Re2Form::kAscii, ascii_instructions},
                                           std::pair{Re2Form::kFull, full_instructions}}) {
      programs->re2_budgets[Programs::index(form)] =
          std::min(pattern::confined_re2_budget(instructions), kMemoryBudget);
    }
    const size_t confined = programs->bound(measure);
    if (confined <= memory_cap) {
      programs->memory_bound = confined;
    } else {
      programs->re2_budgets[0] = programs->re2_budgets[1] = kMemoryBudget;
    }
  }
  return LinearExpression(std::move(programs));
}

LinearExpression::LinearExpression(std::unique_ptr<const Programs> programs)
    : programs_(std::move(programs)) {}
LinearExpression::LinearExpression(LinearExpression&&) noexcept = default;
LinearExpression& LinearExpression::operator=(LinearExpression&&) noexcept = default;
LinearExpression::~LinearExpression() = default;

std::optional<std::string> LinearExpression::replace_all(std::string_view text,
                                                         std::string_view replacement) const {
  const pattern::PatternTree& tree = programs_->tree;
  const bool ascii = is_ascii(text);
  const RE2* re = programs_->re2(ascii ? Re2Form::kAscii : Re2Form::kFull);
  const bool wants_groups = has_group_references(replacement);
  // RE2's \b and \B read the ASCII \w, which on ASCII text is the Unicode
  // one; it has no form of the other word assertions.
  const bool re2_is_exact = !tree.has_word_assertion || (ascii && tree.word_assertions_re2_ascii);
  if (re2_is_exact && re != nullptr) {
    Re2Matcher matcher(*re, text, wants_groups);
    return replace_all_matches(text, replacement, *this, matcher);
  }
  const PikeProgram* program = programs_->pike();
  if (program == nullptr) {
    if (re == nullptr) return std::nullopt;
    Re2Matcher matcher(*re, text, wants_groups);
    return replace_all_matches(text, replacement, *this, matcher);
  }
  // Without an RE2 program (one built late that failed), the VM searches
  // alone: exact still, and linear.
  PikeVmMatcher matcher(*program, re, text, wants_groups);
  return replace_all_matches(text, replacement, *this, matcher);
}

std::string_view LinearExpression::full_form_text() const { return programs_->full_text(); }

size_t LinearExpression::memory_bound() const { return programs_->memory_bound; }

size_t LinearExpression::capture_group_count() const { return programs_->tree.capture_count; }

void LinearExpression::numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const {
  programs_->tree.numbers_named(name, numbers);
}

struct LinearSet::Handle {
  RE2::Set set{expression_options(), RE2::UNANCHORED};
};

std::optional<LinearSet> LinearSet::compile(std::span<const std::string_view> patterns) {
  auto handle = std::make_unique<Handle>();
  for (std::string_view pattern : patterns) {
    if (handle->set.Add(piece(pattern), nullptr) < 0) return std::nullopt;
  }
  if (!handle->set.Compile()) return std::nullopt;
  return LinearSet(std::move(handle));
}

LinearSet::LinearSet(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
LinearSet::LinearSet(LinearSet&&) noexcept = default;
LinearSet& LinearSet::operator=(LinearSet&&) noexcept = default;
LinearSet::~LinearSet() = default;

bool LinearSet::may_match(std::string_view text) const {
  RE2::Set::ErrorInfo error{RE2::Set::kNoError};
  if (handle_->set.Match(piece(text), nullptr, &error)) return true;
  return error.kind != RE2::Set::kNoError;  // e.g. the automaton ran out of memory
}

}  // namespace vorlisk
