#include "core/pattern/unicode_sets.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace vorlisk {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;

// The loose form of a name (UAX #44, LM3): ASCII lower case without spaces,
// underscores and hyphens, and without a leading "is". Other non-ASCII
// bytes are dropped: no name holds one. "isc" stays whole: it is a name
// of its own (of a property not offered here), not "is" and "c".
std::string loose_name(std::string_view name) {
  const bool starts_with_is =
      name.size() >= 2 && (name[0] == 'i' || name[0] == 'I') && (name[1] == 's' || name[1] == 'S');
  if (starts_with_is) name.remove_prefix(2);
  std::string out;
  for (char c : name) {
    if (c == ' ' || c == '_' || c == '-' || static_cast<unsigned char>(c) >= 0x80) continue;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (starts_with_is && out == "c") return "isc";
  return out;
}

std::optional<uint16_t> find_name(std::string_view name, uint8_t property) {
  const unicode_tables::Name* begin = unicode_tables::kNames;
  const unicode_tables::Name* end = begin + unicode_tables::kNameCount;
  const auto* found = std::lower_bound(begin, end, std::pair(name, property),
                                       [](const unicode_tables::Name& entry, const auto& key) {
                                         const int order = std::string_view(entry.name).compare(key.first);
                                         return order < 0 || (order == 0 && entry.property < key.second);
                                       });
  if (found == end || found->name != name || found->property != property) return std::nullopt;
  return found->set;
}

// The code points of `a` that `b` (both sets) leaves out.
std::vector<CodePointRange> difference(std::span<const CodePointRange> a,
                                       std::span<const CodePointRange> b) {
  std::vector<CodePointRange> out;
  size_t j = 0;
  for (CodePointRange range : a) {
    while (j < b.size() && b[j].last < range.first) ++j;
    for (size_t k = j; k < b.size() && b[k].first <= range.last; ++k) {
      if (b[k].first > range.first) out.push_back({range.first, b[k].first - 1});
      if (b[k].last >= range.last) {
        range.first = range.last + 1;  // nothing left of it
        break;
      }
      range.first = b[k].last + 1;
    }
    if (range.first <= range.last) out.push_back(range);
  }
  return out;
}

// The code point the fold link of `cp` leads to; `cp` itself when it has
// no other case.
char32_t fold_link(char32_t cp) {
  const unicode_tables::FoldRun* const runs_end = unicode_tables::kFoldRuns + unicode_tables::kFoldRunCount;
  const unicode_tables::FoldRun* run = std::lower_bound(
      unicode_tables::kFoldRuns, runs_end, cp, [](const unicode_tables::FoldRun& r, char32_t c) { return r.last < c; });
  if (run == runs_end || run->first > cp) return cp;
  if (run->offset != 0) return static_cast<char32_t>(static_cast<int64_t>(cp) + run->offset);
  return run->first + ((cp - run->first) ^ 1u);
}

// The orbit of one code point, following its links round.
std::vector<CodePointRange> case_orbit(char32_t cp) {
  std::vector<CodePointRange> orbit{{cp, cp}};
  for (char32_t next = fold_link(cp); next != cp; next = fold_link(next)) orbit.push_back({next, next});
  if (orbit.size() > 1) normalize(orbit);
  return orbit;
}

// Appends, for the members of `set` that have other cases, the runs their
// fold links lead to. A run of pairs gives the whole pairs its members
// belong to, which holds the members themselves too.
void append_fold_links(std::span<const CodePointRange> set, std::vector<CodePointRange>& out) {
  const unicode_tables::FoldRun* const runs = unicode_tables::kFoldRuns;
  const unicode_tables::FoldRun* const runs_end = runs + unicode_tables::kFoldRunCount;
  const unicode_tables::FoldRun* run = runs;
  for (const CodePointRange& range : set) {
    run = std::lower_bound(run, runs_end, range.first,
                           [](const unicode_tables::FoldRun& r, uint32_t cp) { return r.last < cp; });
    for (const unicode_tables::FoldRun* r = run; r != runs_end && r->first <= range.last; ++r) {
      const uint32_t first = std::max(range.first, r->first);
      const uint32_t last = std::min(range.last, r->last);
      if (r->offset != 0) {
        out.push_back({static_cast<uint32_t>(static_cast<int64_t>(first) + r->offset),
                       static_cast<uint32_t>(static_cast<int64_t>(last) + r->offset)});
      } else {
        out.push_back({r->first + ((first - r->first) & ~1u), r->first + ((last - r->first) | 1u)});
      }
    }
  }
}

std::optional<uint8_t> find_property_name(std::string_view name) {
  for (size_t i = 0; i < unicode_tables::kPropertyNameCount; ++i) {
    if (unicode_tables::kPropertyNames[i].name == name) return unicode_tables::kPropertyNames[i].property;
  }
  return std::nullopt;
}

}  // namespace

std::span<const CodePointRange> unicode_set(uint16_t set) {
  const unicode_tables::SetSpan& span = unicode_tables::kSets[set];
  return {unicode_tables::kRanges + span.begin, span.count};
}

std::vector<CodePointRange> complement(std::span<const CodePointRange> ranges) {
  std::vector<CodePointRange> out;
  char32_t next = 0;  // the first code point not yet covered
  const auto gap = [&out](char32_t first, char32_t last) {
    if (first > last) return;
    if (first < kFirstSurrogate && last > kLastSurrogate) {
      out.push_back({first, kFirstSurrogate - 1});
      out.push_back({kLastSurrogate + 1, last});
    } else if (last < kFirstSurrogate || first > kLastSurrogate) {
      out.push_back({first, last});
    } else if (first < kFirstSurrogate) {
      out.push_back({first, kFirstSurrogate - 1});
    } else if (last > kLastSurrogate) {
      out.push_back({kLastSurrogate + 1, last});
    }
  };
  for (const CodePointRange& range : ranges) {
    if (range.first > next) gap(next, range.first - 1);
    next = range.last + 1;
  }
  if (next <= kMaxCodePoint) gap(next, kMaxCodePoint);
  return out;
}

bool same_set(std::span<const CodePointRange> a, std::span<const CodePointRange> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CodePointRange& x, const CodePointRange& y) {
    return x.first == y.first && x.last == y.last;
  });
}

std::vector<CodePointRange> intersection(std::span<const CodePointRange> a,
                                         std::span<const CodePointRange> b) {
  std::vector<CodePointRange> out;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    const char32_t first = std::max(a[i].first, b[j].first);
    const char32_t last = std::min(a[i].last, b[j].last);
    if (first <= last) out.push_back({first, last});
    (a[i].last < b[j].last) ? ++i : ++j;
  }
  return out;
}

std::vector<CodePointRange> union_of(std::span<const CodePointRange> a,
                                     std::span<const CodePointRange> b) {
  std::vector<CodePointRange> out;
  out.reserve(a.size() + b.size());
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() || j < b.size()) {
    const CodePointRange next = (j == b.size() || (i < a.size() && a[i].first < b[j].first)) ? a[i++] : b[j++];
    if (!out.empty() && next.first <= out.back().last + 1) {
      out.back().last = std::max(out.back().last, next.last);
    } else {
      out.push_back(next);
    }
  }
  return out;
}

void normalize(std::vector<CodePointRange>& ranges) {
  if (ranges.empty()) return;
  std::sort(ranges.begin(), ranges.end(),
            [](const CodePointRange& x, const CodePointRange& y) { return x.first < y.first; });
  size_t kept = 0;
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first <= ranges[kept].last + 1) {
      ranges[kept].last = std::max(ranges[kept].last, ranges[i].last);
    } else {
      ranges[++kept] = ranges[i];
    }
  }
  ranges.resize(kept + 1);
}

std::vector<CodePointRange> case_fold_closure(std::span<const CodePointRange> ranges) {
  if (ranges.size() == 1 && ranges[0].first == ranges[0].last) return case_orbit(ranges[0].first);
  std::vector<CodePointRange> closure(ranges.begin(), ranges.end());
  // Each round follows the links out of the members the previous round
  // added; an orbit has at most a handful of members, so few rounds run.
  std::vector<CodePointRange> frontier = closure;
  std::vector<CodePointRange> linked;
  while (!frontier.empty()) {
    linked.clear();
    append_fold_links(frontier, linked);
    normalize(linked);
    frontier = difference(linked, closure);
    if (!frontier.empty()) closure = union_of(closure, frontier);
  }
  return closure;
}

uint16_t case_folded_set(uint16_t set) { return unicode_tables::kSets[set].folded; }

std::vector<CodePointRange> assigned_after(unsigned major, unsigned minor) {
  std::vector<CodePointRange> out;
  for (size_t i = 0; i < unicode_tables::kAgeCount; ++i) {
    const unicode_tables::AgedRange& aged = unicode_tables::kAges[i];
    if (aged.major < major || (aged.major == major && aged.minor <= minor)) continue;
    if (!out.empty() && out.back().last + 1 == aged.first) {
      out.back().last = aged.last;
    } else {
      out.push_back({aged.first, aged.last});
    }
  }
  return out;
}

std::optional<UnicodeProperty> find_unicode_property(std::string_view text) {
  // "name!=value", "name=value" or "name:value"; the first of them found.
  size_t split = text.find("!=");
  size_t value_start = split + 2;
  bool negated = split != std::string_view::npos;
  if (!negated) {
    split = text.find_first_of("=:");
    value_start = split + 1;
  }
  if (split == std::string_view::npos) {
    const std::string name = loose_name(text);
    for (uint8_t property : {unicode_tables::kGeneralCategory, unicode_tables::kScript}) {
      if (std::optional<uint16_t> set = find_name(name, property)) return UnicodeProperty{*set, false};
    }
    return std::nullopt;
  }
  const std::optional<uint8_t> property = find_property_name(loose_name(text.substr(0, split)));
  if (!property) return std::nullopt;
  const std::optional<uint16_t> set = find_name(loose_name(text.substr(value_start)), *property);
  if (!set) return std::nullopt;
  return UnicodeProperty{*set, negated};
}

}  // namespace vorlisk
