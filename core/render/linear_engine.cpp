#include "core/render/linear_engine.h"

#include <re2/re2.h>
#include <re2/set.h>

#include "core/render/backtracking_engine.h"
#include "core/base/utf8.h"
#include "core/render/match_loop.h"
#include "core/render/pattern_translation.h"

namespace vorlisk {
namespace {

// RE2 gives two thirds of its memory budget to the forward program and the
// rest to the reverse one; whatever a program leaves of its share is the
// cache of its lazily built automaton.
constexpr int64_t kMemoryBudget = static_cast<int64_t>(kLinearProgramLimit) * 3 / 2;

RE2::Options expression_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_posix_syntax(false);  // Perl classes, \b, and "^"/"$" at the text ends only
  options.set_longest_match(false);
  options.set_log_errors(false);
  options.set_max_mem(kMemoryBudget);
  options.set_literal(false);
  options.set_never_nl(false);
  options.set_dot_nl(false);
  options.set_never_capture(false);
  options.set_case_sensitive(true);
  return options;
}

re2::StringPiece piece(std::string_view text) { return re2::StringPiece(text.data(), text.size()); }

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

// Where a match of the exact pattern may start: where the translation
// without boundaries, which matches wherever the pattern does, starts its
// leftmost match.
class RelaxedStarts final : public MatchStarts {
 public:
  explicit RelaxedStarts(const RE2& relaxed) : relaxed_(relaxed) {}

  std::optional<size_t> next(std::string_view text, size_t from) const override {
    re2::StringPiece whole;
    if (!relaxed_.Match(piece(text), from, text.size(), RE2::UNANCHORED, &whole, 1)) return std::nullopt;
    return static_cast<size_t>(whole.data() - text.data());
  }

 private:
  const RE2& relaxed_;
};

// RE2's error for `translation` of `pattern`, quoting the pattern: RE2
// quotes the fragment of the text it compiled where it found the fault.
std::string error_text(const RE2& re, const Translation& translation, std::string_view pattern) {
  if (re.error_code() == RE2::ErrorPatternTooLarge) {
    return "Compiled regex exceeds size limit of " + std::to_string(kLinearProgramLimit) + " bytes.";
  }
  const std::string& error = re.error();
  const std::string& fragment = re.error_arg();
  const size_t kind_length = error.size() - std::min(error.size(), fragment.size() + 2);
  if (fragment.empty() || error.compare(kind_length, std::string::npos, ": " + fragment) != 0) {
    return error;
  }
  const std::optional<std::string_view> source =
      fragment == translation.text ? pattern : translation.source_fragment(pattern, fragment);
  if (!source) return error;
  return error.substr(0, kind_length) + ": " + std::string(*source);
}

// RE2 compiling `pattern` in `dialect`: the expression, or its error text.
std::variant<std::unique_ptr<const RE2>, std::string> compile_re2(std::string_view pattern,
                                                                 PatternDialect dialect,
                                                                 Translation& translation) {
  translation = translate_pattern(pattern, dialect);
  auto re = std::make_unique<const RE2>(piece(translation.text), expression_options());
  if (!re->ok()) return error_text(*re, translation, pattern);
  return re;
}

}  // namespace

struct LinearExpression::Boundaries {
  std::unique_ptr<const RE2> ascii;  // null when the pattern has more than \b and \B
  BacktrackingExpression exact;
};

std::variant<LinearExpression, std::string> LinearExpression::compile(std::string_view pattern) {
  Translation translation;
  auto relaxed = compile_re2(pattern, PatternDialect::kLinear, translation);
  if (auto* error = std::get_if<std::string>(&relaxed)) return std::move(*error);
  if (translation.refusal) return *translation.refusal;
  auto& re = std::get<std::unique_ptr<const RE2>>(relaxed);
  if (!translation.has_boundary) return LinearExpression(std::move(re), nullptr);

  std::unique_ptr<const RE2> ascii;
  if (translation.ascii_exact) {
    Translation ascii_translation;
    auto compiled = compile_re2(pattern, PatternDialect::kLinearAscii, ascii_translation);
    if (auto* error = std::get_if<std::string>(&compiled)) return std::move(*error);
    ascii = std::move(std::get<std::unique_ptr<const RE2>>(compiled));
  }
  auto exact = BacktrackingExpression::compile(pattern);
  if (auto* error = std::get_if<std::string>(&exact)) return std::move(*error);
  auto boundaries = std::make_unique<const Boundaries>(
      Boundaries{std::move(ascii), std::move(std::get<BacktrackingExpression>(exact))});
  return LinearExpression(std::move(re), std::move(boundaries));
}

LinearExpression::LinearExpression(std::unique_ptr<const re2::RE2> re,
                                   std::unique_ptr<const Boundaries> boundaries)
    : re_(std::move(re)), boundaries_(std::move(boundaries)) {}
LinearExpression::LinearExpression(LinearExpression&&) noexcept = default;
LinearExpression& LinearExpression::operator=(LinearExpression&&) noexcept = default;
LinearExpression::~LinearExpression() = default;

std::optional<std::string> LinearExpression::replace_all(std::string_view text,
                                                         std::string_view replacement) const {
  const RE2* exact = re_.get();
  if (boundaries_ != nullptr) {
    if (boundaries_->ascii == nullptr || !is_ascii(text)) {
      const RelaxedStarts starts(*re_);
      return boundaries_->exact.replace_all(text, replacement, &starts);
    }
    exact = boundaries_->ascii.get();
  }
  Re2Matcher matcher(*exact, text, has_group_references(replacement));
  return replace_all_matches(text, replacement, *this, matcher);
}

std::string_view LinearExpression::pattern_text() const { return re_->pattern(); }

size_t LinearExpression::capture_group_count() const {
  return static_cast<size_t>(re_->NumberOfCapturingGroups());
}

void LinearExpression::numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const {
  for (const auto& [number, group_name] : re_->CapturingGroupNames()) {
    if (group_name == name) numbers.push_back(static_cast<uint32_t>(number));
  }
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
