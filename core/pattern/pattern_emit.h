// The RE2 forms of a value pattern, written from its syntax tree
// (pattern_tree.h) of the linear dialect.
//
// RE2 never sees a flag: the tree has applied them. Sets are written as
// explicit ranges, non-ASCII characters as \x{..}, anchors as \A, \z,
// (?m:^) and (?m:$), greed on each repetition, named groups as
// (?P<name>..), and a repetition of a repetition inside (?:..). Groups keep
// their numbers and names. Pure functions; safe on any thread.
#pragma once

#include <string>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

enum class Re2Form {
  // Every set whole; every word assertion left out. This is the pattern
  // itself when it has none, else a relaxed form that matches wherever the
  // pattern does (and maybe elsewhere): it tells where a match may start.
  kFull,
  // Every set cut to its ASCII members; \b and \B as RE2's own, which read
  // the ASCII \w, other word assertions left out. On ASCII text this is
  // exact when tree.word_assertions_re2_ascii, relaxed otherwise; its
  // program is small and quick to compile.
  kAscii,
};

std::string emit_re2(const PatternTree& tree, Re2Form form);

}  // namespace vorlisk::pattern
