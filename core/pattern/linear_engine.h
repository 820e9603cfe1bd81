// The linear-time engine behind most value patterns.
//
// A pattern is parsed once into its syntax tree (pattern_parser.h, the
// linear dialect, whose error text is the compile error). Its matches are
// RE2's leftmost-first matches of the tree, with every class and word
// assertion read the Unicode way. Which program searches a text:
//
//   no word assertion      RE2 with the ASCII form (pattern_emit.h) on
//                          ASCII text, RE2 with the full form on any other
//                          text; both exact.
//   only \b and \B         on ASCII text, RE2 with the ASCII form and its
//                          own \b and \B (exact: on ASCII text the Unicode
//                          and ASCII words agree); on other text, RE2 with
//                          the full form, boundaries left out, finds where
//                          a match may start, and our own matcher (a Pike
//                          VM, pike_vm.h) matches exactly from there.
//   \<, \>, \b{..}         the same, with the ASCII form (those assertions
//                          left out) finding the starts on ASCII text.
//
// Every program is built when a text first needs it, so that a pattern
// compiled for one call on ASCII records compiles only its ASCII form; a
// lost race to build one costs a second build, never a lock. The one error
// RE2 can give on these forms, a program over kLinearProgramLimit, is
// reported at compile time all the same: a form whose size bound
// (re2_program_bound.h) does not rule it out is built at once. Should a
// form built later fail anyway, the Pike VM alone gives the exact matches.
// Searching never fails, and takes time linear in the text for a given
// pattern. Errors are returned, never logged, and quote the pattern as it
// was written.
//
// What an expression may hold is bounded when it is compiled, every
// program it may build later included (linear_memory.h). Compiled with a
// memory cap, an expression whose programs and automata can be confined
// within it is: RE2's budgets are cut from the default one (which lets an
// automaton grow to megabytes) to what its programs need and a modest
// cache. The matches are the same either way.
//
// Immutable once compiled but for the programs built on first need, which
// are published atomically; any number of threads may search with one
// expression at once (RE2 guards its lazily built automata itself; its
// searches run with the interpreter lock held, so no thread holds one of
// RE2's own locks when another forks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/pattern/replacement.h"

namespace vorlisk {

inline constexpr size_t kLinearProgramLimit = 10 * 1024 * 1024;

class LinearExpression final : public GroupNames {
 public:
  // The expression, or the error text (a program over the limit gives
  // "Compiled regex exceeds size limit of 10485760 bytes."). Confined when
  // its memory bound can be brought within `memory_cap` bytes.
  static std::variant<LinearExpression, std::string> compile(std::string_view pattern,
                                                            size_t memory_cap = SIZE_MAX);

  LinearExpression(LinearExpression&&) noexcept;
  LinearExpression& operator=(LinearExpression&&) noexcept;
  ~LinearExpression();

  // Every match replaced; nothing when there is no match.
  std::optional<std::string> replace_all(std::string_view text, std::string_view replacement) const;

  // The full RE2 form (word assertions left out), which matches wherever
  // the pattern does: what a LinearSet of several patterns is made of.
  std::string_view full_form_text() const;

  // The most memory the expression holds, whatever it searches and however
  // many threads search it, with every program built.
  size_t memory_bound() const;

  size_t capture_group_count() const override;
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override;

 private:
  struct Programs;  // the tree and the programs built from it
  explicit LinearExpression(std::unique_ptr<const Programs> programs);

  std::unique_ptr<const Programs> programs_;
};

// Several linear-engine patterns searched as one: a single scan tells
// whether any of them matches anywhere in a text. Compiled with the same
// options and memory budget as each expression. Immutable once compiled;
// any number of threads may search with it at once.
class LinearSet {
 public:
  // Nothing when the combined program does not fit the budget.
  static std::optional<LinearSet> compile(std::span<const std::string_view> patterns);

  LinearSet(LinearSet&&) noexcept;
  LinearSet& operator=(LinearSet&&) noexcept;
  ~LinearSet();

  // False only when no pattern matches anywhere in `text`; true also when
  // the search could not finish.
  bool may_match(std::string_view text) const;

 private:
  struct Handle;
  explicit LinearSet(std::unique_ptr<Handle> handle);

  std::unique_ptr<Handle> handle_;
};

}  // namespace vorlisk
