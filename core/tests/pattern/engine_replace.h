// Replacement by one matcher directly, for the pattern tests that hold
// every matcher to the same results: the linear engine as a whole (RE2 and
// the Pike VM, each where it runs), the Pike VM alone on any text, and the
// backtracking engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/pattern/backtracking_engine.h"
#include "core/pattern/linear_engine.h"
#include "core/pattern/match_loop.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"

namespace vorlisk::testing_support {

enum class Engine { kLinear, kPikeVm, kBacktracking };

// The groups of a tree, for replacements run by the VM alone.
class TreeGroups final : public GroupNames {
 public:
  explicit TreeGroups(const pattern::PatternTree& tree) : tree_(tree) {}
  size_t capture_group_count() const override { return tree_.capture_count; }
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override {
    tree_.numbers_named(name, numbers);
  }

 private:
  const pattern::PatternTree& tree_;
};

// `text` with every match of `pattern` replaced, as `engine` compiles it;
// nothing when there is no match, "<error: ...>" when it does not compile.
inline std::optional<std::string> replace_with(Engine engine, std::string_view pattern,
                                               std::string_view text,
                                               std::string_view replacement = "#") {
  if (engine == Engine::kLinear) {
    auto expression = LinearExpression::compile(pattern);
    if (auto* error = std::get_if<std::string>(&expression)) return "<error: " + *error + ">";
    return std::get<LinearExpression>(expression).replace_all(text, replacement);
  }
  if (engine == Engine::kPikeVm) {
    auto parsed = pattern::parse_linear_pattern(pattern);
    if (auto* error = std::get_if<std::string>(&parsed)) return "<error: " + *error + ">";
    const pattern::PatternTree& tree = std::get<pattern::PatternTree>(parsed);
    const std::optional<pattern::PikeProgram> program = pattern::PikeProgram::compile(tree);
    if (!program) return "<error: no program>";
    pattern::PikeMatcher matcher(*program, text, has_group_references(replacement));
    return replace_all_matches(text, replacement, TreeGroups(tree), matcher);
  }
  auto expression = BacktrackingExpression::compile(pattern);
  if (auto* error = std::get_if<std::string>(&expression)) return "<error: " + *error + ">";
  return std::get<BacktrackingExpression>(expression).replace_all(text, replacement);
}

}  // namespace vorlisk::testing_support
