#include "core/pattern/pattern.h"

#include "core/pattern/backtracking_engine.h"
#include "core/pattern/linear_engine.h"
#include "core/pattern/size_bounds.h"

namespace vorlisk {

class CompiledPattern::Engine {
 public:
  explicit Engine(LinearExpression expression) : expression_(std::move(expression)) {}
  explicit Engine(BacktrackingExpression expression) : expression_(std::move(expression)) {}

  bool is_backtracking() const {
    return std::holds_alternative<BacktrackingExpression>(expression_);
  }

  std::optional<std::string_view> linear_full_form() const {
    if (const auto* linear = std::get_if<LinearExpression>(&expression_)) return linear->full_form_text();
    return std::nullopt;
  }

  size_t memory_bound() const {
    return std::visit([](const auto& expression) { return expression.memory_bound(); }, expression_);
  }

  std::optional<std::string> replace_all(std::string_view text, std::string_view replacement) const {
    return std::visit(
        [&](const auto& expression) { return expression.replace_all(text, replacement); },
        expression_);
  }

 private:
  std::variant<LinearExpression, BacktrackingExpression> expression_;
};

CompiledPattern::CompiledPattern(std::shared_ptr<const Engine> engine)
    : engine_(std::move(engine)) {}

bool CompiledPattern::is_backtracking() const { return engine_->is_backtracking(); }

std::optional<std::string_view> CompiledPattern::linear_full_form() const {
  return engine_->linear_full_form();
}

size_t CompiledPattern::memory_bound() const {
  // The engine shares one allocation with its reference counts.
  constexpr size_t kSharedBlock = sizeof(Engine) + 64;
  return pattern::add_bytes(engine_->memory_bound(), kSharedBlock);
}

namespace {

template <class Expression>
PatternResult to_pattern(std::variant<Expression, std::string> compiled) {
  if (std::string* error = std::get_if<std::string>(&compiled)) return std::move(*error);
  return CompiledPattern(
      std::make_shared<const CompiledPattern::Engine>(std::move(std::get<Expression>(compiled))));
}

}  // namespace

PatternResult compile_standard_pattern(std::string_view pattern) {
  return to_pattern(LinearExpression::compile(pattern));
}

PatternResult compile_pattern(std::string_view pattern, bool allow_backtracking, size_t memory_cap) {
  PatternResult linear = to_pattern(LinearExpression::compile(pattern, memory_cap));
  if (!allow_backtracking || std::holds_alternative<CompiledPattern>(linear)) return linear;
  // The linear engine's error is dropped: the backtracking engine's own
  // answer is the one reported.
  return to_pattern(BacktrackingExpression::compile(pattern));
}

std::optional<std::string> redact_with_pattern(const CompiledPattern& pattern,
                                               std::string_view text,
                                               std::string_view replacement) {
  if (text.data() == nullptr) text = std::string_view("", 0);
  return pattern.engine().replace_all(text, replacement);
}

}  // namespace vorlisk
