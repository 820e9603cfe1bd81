// The replacement text of a value pattern with its "$" references:
//
//   $$          one "$"
//   ${name}     the group called `name` (any text up to the "}"); no group
//               is called "", so "${}" adds nothing
//   $name       the group named by the longest run of ASCII letters, digits
//               and "_" after the "$" ("$1a" names a group "1a")
//   digits      a name made only of decimal digits is the group with that
//               number; group 0 is the whole match
//   a group that does not exist or did not take part adds nothing; a "$"
//   that starts none of the above is itself.
//
// A ReplacementTemplate is parsed once per replacement call, on the first
// match, and belongs to that call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlisk {

// What a compiled pattern tells the template about its groups.
class GroupNames {
 public:
  virtual size_t capture_group_count() const = 0;  // group 0 not counted
  // Appends, in ascending order, the numbers of the groups called `name`
  // (one engine allows several groups with one name). Never asked for "".
  virtual void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const = 0;

 protected:
  ~GroupNames() = default;
};

class ReplacementTemplate {
 public:
  // `replacement` must outlive the template.
  ReplacementTemplate(std::string_view replacement, const GroupNames& groups);

  // Appends the replacement for one match. `group_text(n)` gives the text
  // of group n, or nothing when it did not take part.
  template <class GroupText>
  void expand(std::string& out, const GroupText& group_text) const {
    for (const Piece& piece : pieces_) {
      out.append(piece.literal);
      // A name shared by several groups stands for the first that took part.
      for (uint32_t i = 0; i < piece.group_count; ++i) {
        if (std::optional<std::string_view> text = group_text(numbers_[piece.first_group + i])) {
          out.append(*text);
          break;
        }
      }
    }
  }

 private:
  // Literal text, then (for a reference) the groups it may stand for.
  struct Piece {
    std::string_view literal;
    uint32_t first_group = 0;
    uint32_t group_count = 0;
  };

  void add_reference(std::string_view name, const GroupNames& groups);

  std::vector<Piece> pieces_;
  std::vector<uint32_t> numbers_;
};

}  // namespace vorlisk
