// A one-scan test in front of a list of value patterns.
//
// Most texts of a record match no pattern, and a pattern that does not
// match leaves its text as it was for the next one. So when a single search
// over all the linear-engine patterns of the list at once finds nothing in
// a text, every one of them may be skipped for that text, until a
// backtracking pattern of the list changes it: from then on each pattern
// searches the new text in order, as without the prefilter. A text in which
// the combined search finds something goes through the patterns in order
// too; the results are the same either way.
//
// Built once per pattern list (per configuration object); immutable
// afterwards, and any number of threads may use it at once.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "core/pattern/linear_engine.h"
#include "core/pattern/pattern.h"

namespace vorlisk {

class PatternPrefilter {
 public:
  // Nothing when the list has no linear-engine pattern or the combined
  // program does not fit the engine's memory budget; every pattern then
  // searches every text.
  static std::optional<PatternPrefilter> build(std::span<const CompiledPattern> patterns);

  // False only when no linear-engine pattern of the list matches anywhere
  // in `text`.
  bool may_match(std::string_view text) const { return set_.may_match(text); }

  // Whether every pattern of the list is a linear-engine one, so that a
  // text the prefilter clears is not searched at all.
  bool covers_all() const { return covers_all_; }

 private:
  PatternPrefilter(LinearSet set, bool covers_all) : set_(std::move(set)), covers_all_(covers_all) {}

  LinearSet set_;
  bool covers_all_;
};

}  // namespace vorlisk
