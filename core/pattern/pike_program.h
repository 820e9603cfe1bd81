// Our own matcher, step two: the program (pike_vm.h runs it).
//
// A PatternTree is put in RE2's shape (pike_shape.h), then compiled as RE2
// compiles, fragment by fragment: x* , x+ and x? as its Star, Plus and
// Quest (a star over something that can match empty is an optional plus,
// or an empty pass through the loop would outrank leaving it), and
// alternatives in the order written. Then, as RE2 does, empty instructions
// are skipped and the program is flattened into lists: each list holds, in
// priority order, the instructions a thread can reach from one point
// without consuming a character, following branches depth-first and
// listing each instruction once; an instruction reachable from two such
// points starts a list of its own. A search enters each list at most once
// per position (pike_vm.h), so these lists decide which of two threads
// that meet goes on: they are why our matches and groups equal RE2's, also
// in loops that can match empty.
//
// Classes test ASCII code points against a bitmap and the others by binary
// search. A byte that starts no well-formed UTF-8 character is read as one
// character, kIllFormedByte, which is \w to nobody and belongs to a class
// exactly when the class holds U+10FFFF (an unassigned noncharacter): the
// complements ([^..], \W, \P{..}, "."), never a set of assigned characters.
//
// Immutable once compiled: any number of threads may run one program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

// What the matcher reads for a byte that starts no well-formed character.
inline constexpr char32_t kIllFormedByte = 0x110000;
// What it reads past either end of the text.
inline constexpr char32_t kNoCharacter = 0xFFFFFFFF;

enum class PikeOpcode : uint8_t {
  kFail,       // nothing
  kNop,        // enter the list at `out`
  kCapture,    // the position into capture slot `arg`, then enter the list at `out`
  kAssertion,  // when Assertion(`arg`) holds here, enter the list at `out`
  kCodePoint,  // a thread that consumes the code point `arg`, then enters `out`
  kClass,      // a thread that consumes a code point of class `arg`, then enters `out`
  kMatch,      // a thread that has matched
};

// One entry of a list; the entries of a list are consecutive, the last one
// marked.
struct PikeInstruction {
  PikeOpcode op = PikeOpcode::kFail;
  bool last = false;
  uint32_t out = 0;  // the first entry of a list
  uint32_t arg = 0;
};

// A set of code points for fast membership tests.
class CodePointClass {
 public:
  explicit CodePointClass(std::span<const CodePointRange> set);

  bool contains(char32_t cp) const {
    if (cp < 0x80) return (ascii_[cp >> 6] >> (cp & 63)) & 1;
    if (cp == kIllFormedByte) return holds_last_code_point_;
    return contains_above_ascii(cp);
  }

 private:
  bool contains_above_ascii(char32_t cp) const;

  uint64_t ascii_[2] = {0, 0};
  std::vector<CodePointRange> above_ascii_;
  bool holds_last_code_point_ = false;
};

// Whether `cp` is in the Unicode \w (kIllFormedByte and kNoCharacter are not).
bool is_word_character(char32_t cp);

class PikeProgram {
 public:
  // The program of `tree`; nothing when the tree holds a construct of the
  // backtracking syntax only (kForeign, kForeignGroup) or a node without
  // the children its kind needs.
  static std::optional<PikeProgram> compile(const PatternTree& tree);

  std::span<const PikeInstruction> instructions() const { return instructions_; }
  // The list a search starts each thread at; 0 (a list of kFail) when
  // nothing can match.
  uint32_t start() const { return start_; }
  const CodePointClass& code_point_class(uint32_t number) const { return classes_[number]; }

  // Capture groups, the whole match not counted; two slots for each and two
  // for the whole match.
  uint32_t capture_count() const { return capture_count_; }
  size_t slot_count() const { return 2 * (static_cast<size_t>(capture_count_) + 1); }

  // Text every match starts with, matched before the program runs and only
  // at the start of the text; each letter in either case with
  // prefix_fold_case().
  const std::u32string& required_prefix() const { return required_prefix_; }
  bool prefix_fold_case() const { return prefix_fold_case_; }
  // The pattern opened with \A: the program runs only from the start of the
  // text (with a required prefix, only when that prefix is empty).
  bool anchored_at_start() const { return anchor_start_; }
  // Every match ends at the end of the text.
  bool anchored_at_end() const { return anchor_end_; }
  // Whether any instruction reads the words on either side of a position.
  bool has_word_assertion() const { return has_word_assertion_; }

 private:
  PikeProgram() = default;
  friend class PikeCompiler;

  std::vector<PikeInstruction> instructions_;
  std::vector<CodePointClass> classes_;
  uint32_t start_ = 0;
  uint32_t capture_count_ = 0;
  std::u32string required_prefix_;
  bool prefix_fold_case_ = false;
  bool anchor_start_ = false;
  bool anchor_end_ = false;
  bool has_word_assertion_ = false;
};

}  // namespace vorlisk::pattern
