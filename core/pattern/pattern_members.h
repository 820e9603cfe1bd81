// The code points of the pieces a class is made of, as a pattern spells
// them: Perl classes, properties, POSIX classes, ranges and single
// characters. Under (?i) each piece is folded to all the cases of its
// members before it is negated, as the pattern's engine reads it. Internal
// to the pattern parser; pure functions, safe on any thread.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

// The generated set behind a Perl class letter (d, D, s, S, w, W).
uint16_t perl_class_set(char letter);

// Generated set number `set` ("\w", "\p{Greek}"), or its complement
// ("\W", "\P{Greek}").
ClassMember unicode_set_member(uint16_t set, bool negated, bool caseless);

// The ASCII ranges of a POSIX class name ("alpha", not "[:alpha:]");
// nothing for an unknown name.
std::optional<std::span<const CodePointRange>> posix_class_ranges(std::string_view name);

// Explicit ranges (sorted, disjoint), or their complement.
ClassMember ranges_member(std::span<const CodePointRange> ranges, bool negated, bool caseless);

// first-last, or one character when they are equal. Surrogates are left
// out: no text holds one.
ClassMember range_member(char32_t first, char32_t last, bool caseless);

// ".": every character but the line feed, or every character under (?s).
ClassMember dot_member(bool dot_all);

// A character with its case variants under (?i); empty for a surrogate.
CodePointSet character_set(char32_t cp, bool caseless);

}  // namespace vorlisk::pattern
