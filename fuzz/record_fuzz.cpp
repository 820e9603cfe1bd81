// Renders records built from arbitrary bytes (fields of every kind, the
// names the renderers treat specially, any record texts, key lists and value
// patterns) as a JSON line and as a console line, and checks what a reader
// of either relies on: the JSON line is one object with unique member names
// and the fixed members intact; the console line is UTF-8 without a raw
// control or bidirectional character, every line break starting an
// indented block.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/render/console_record.h"
#include "core/render/console_text.h"
#include "core/render/json_record.h"
#include "core/render/key_case.h"
#include "core/value/levels.h"
#include "fuzz/strict_json.h"
#include "fuzz/value_builder.h"

namespace vorlisk::fuzz {
namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "record_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Linear-engine patterns with a backtracking one among them: with the
// replacement "level", "ve" only matches after the backtracking pattern
// changed a text, which a prefilter must then not skip.
const std::vector<CompiledPattern>& fixed_patterns() {
  static const std::vector<CompiledPattern> patterns = [] {
    std::vector<CompiledPattern> out;
    for (const char* text : {R"(\d{3,})", "(?<=[ab])d", "ve", "[a-c]", "^(.)"}) {
      out.push_back(std::move(std::get<CompiledPattern>(compile_pattern(text, true))));
    }
    return out;
  }();
  return patterns;
}

// The prefilter of the first `count` fixed patterns, as a configuration
// builds it.
const PatternPrefilter* fixed_prefilter(size_t count) {
  static const auto* prefilters = [] {
    auto* built = new std::vector<std::optional<PatternPrefilter>>;
    for (size_t n = 0; n <= fixed_patterns().size(); ++n) {
      built->push_back(PatternPrefilter::build(std::span(fixed_patterns()).first(n)));
    }
    return built;
  }();
  const std::optional<PatternPrefilter>& prefilter = (*prefilters)[count];
  return prefilter ? &*prefilter : nullptr;
}

struct Record {
  FieldMap fields;
  std::string logger, level, service, message, timestamp;
  std::optional<std::string> stack;
  bool colors = false;
  std::optional<std::vector<std::string>> keys;
  size_t pattern_count = 0;
  std::string replacement;
};

Record build_record(FuzzInput& in) {
  static constexpr const char* kLevels[] = {"info", "WARNING", "debug", "trace", "Critical", "error", "fatal"};
  static constexpr const char* kReplacements[] = {"[REDACTED]", "", "$1$1", "level"};
  Record r;
  const uint8_t flags = in.byte();
  r.colors = flags & 1;
  if (flags & 2) {
    r.keys.emplace();
    const size_t n = in.byte() % 3;
    for (size_t i = 0; i < n; ++i) r.keys->push_back(in.utf8(8));
  }
  r.pattern_count = in.byte() % (fixed_patterns().size() + 1);
  r.replacement = kReplacements[(flags >> 4) % 4];
  const uint8_t level_pick = in.byte();
  r.level = level_pick < 200 ? kLevels[level_pick % 7] : in.utf8(12);
  r.logger = in.utf8(12);
  r.service = in.utf8(8);
  r.message = in.utf8(40);
  r.timestamp = (flags & 0x40) ? in.utf8(30) : "2024-01-02T03:04:05.123456Z";
  if (flags & 0x80) r.stack = in.utf8(40);
  r.fields = build_fields(in);
  return r;
}

void check_json_line(const Record& r, const std::string& line) {
  if (!valid_utf8(line)) fail("JSON line is not UTF-8", line);
  const std::optional<Node> root = Reader(line).document();
  if (!root || root->kind != Node::Kind::Object) fail("JSON line is not one object", line);
  std::set<std::string> names;
  const Node* level = nullptr;
  const Node* timestamp = nullptr;
  for (size_t i = 0; i < root->keys.size(); ++i) {
    if (!names.insert(root->keys[i]).second) fail("member name repeated", line);
    if (root->keys[i] == "level") level = &root->items[i];
    if (root->keys[i] == "timestamp") timestamp = &root->items[i];
  }
  for (const char* fixed : {"logger", "level", "severity", "timestamp", "service", "message"}) {
    if (names.count(fixed) == 0) fail("fixed member missing", line);
  }
  if (r.stack && names.count("stack") == 0) fail("stack member missing", line);
  if (names.count("_vorlisk_redacted") != 0 && r.pattern_count == 0) fail("marker field written", line);
  if (!level || level->text != canonical_level_name(r.level)) fail("level member changed", line);
  if (!timestamp || timestamp->text != r.timestamp) fail("timestamp member changed", line);
}

// The JSON line by the rules, step by step on a value tree: the record
// root redacted whole, then each fixed member set on it in turn, then the
// tree written. The renderer writes the line in one pass and must agree.
JsonResult reference_json_line(const Record& r, const RedactionSettings& settings,
                               std::optional<std::string_view> stack) {
  const std::string message = redact_text_field("message", r.message, settings);
  FieldMap root = build_record_root(r.fields, settings);
  const std::string level = canonical_level_name(r.level);
  const auto set = [&root](std::string_view key, Value value) { record_set_field(root, key, std::move(value)); };
  set("logger", Value::str(redact_text_field("logger", r.logger, settings)));
  set("level", Value::str(level));
  set("severity", Value::integer(severity_for_level(level)));
  set("timestamp", Value::str(r.timestamp));
  if (!root.contains("service")) {
    set("service", Value::str(redact_text_field("service", r.service, settings)));
  }
  if (stack) set("stack", Value::str(redact_text_field("stack", *stack, settings)));
  set("message", Value::str(message));
  return value_to_json(Value::map(std::move(root)));
}

// The console line by the rules, from the root redacted whole; the
// renderer redacts on the way and must agree.
std::string reference_console_line(const Record& r, const RedactionSettings& settings,
                                   std::optional<std::string_view> stack) {
  const std::string message = redact_text_field("message", r.message, settings);
  const FieldMap root = build_record_root(r.fields, settings);
  std::string level = canonical_level_name(r.level);
  std::string colour;
  if (r.colors) {
    if (level == "DEBUG") colour = "\x1b[2m";
    if (level == "WARN") colour = "\x1b[33m";
    if (level == "ERROR") colour = "\x1b[31m";
    if (level == "CRITICAL") colour = "\x1b[1;31m";
  }
  size_t width = 0;
  for (const char c : level) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (width < 8) level.append(8 - width, ' ');
  std::string line;
  {
    TextBuffer out(line);
    push_sanitized(out, r.timestamp);
    out.append(" " + colour + "[");
    push_sanitized(out, level);
    out.append(r.colors ? "]\x1b[0m " : "] ");
    push_sanitized(out, message);
    const std::string* exception = nullptr;
    for (const FieldEntry& entry : root.entries()) {
      const std::string_view key = entry.key;
      if (key == "level" || key == "logger" || key == "message" || key == "severity" || key == "timestamp" ||
          (stack && key == "stack")) {
        continue;
      }
      if (key == "exception" && entry.value.kind() == Value::Kind::Str) {
        exception = &entry.value.as_str();
        continue;
      }
      out.append("  ");
      push_console_token(out, key, false);
      out.push_back('=');
      write_console_value(out, entry.value);
    }
    if (stack) push_indented_block(out, redact_text_field("stack", *stack, settings));
    if (exception) push_indented_block(out, *exception);
  }
  return line;
}

void check_console_line(const std::string& line, bool colors) {
  if (!valid_utf8(line)) fail("console line is not UTF-8", line);
  // A raw ESC can only start one of the line's own colour sequences: one
  // that came from the record is written as the text "\x1b".
  static constexpr std::string_view kColours[] = {"\x1b[0m", "\x1b[2m", "\x1b[33m", "\x1b[31m",
                                                  "\x1b[1;31m"};
  size_t colour_bytes = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == 0x1B && colors) {
      bool known = false;
      for (std::string_view seq : kColours) {
        if (std::string_view(line).substr(i, seq.size()) == seq) {
          known = true;
          colour_bytes += seq.size();
          i += seq.size() - 1;
          break;
        }
      }
      if (!known) fail("raw escape byte", line);
      continue;
    }
    if (c == '\n') {
      if (line.compare(i + 1, 2, "  ") != 0) fail("line break without indent", line);
      continue;
    }
    if (c < 0x20 || c == 0x7F) fail("raw control byte", line);
  }
  if (colors && colour_bytes == 0) fail("colour reset missing", line);
  for (const char* raw : {"\xC2\x80", "\xC2\x85", "\xC2\x9F", "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xA8",
                          "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA9", "\xD8\x9C"}) {
    if (line.find(raw) != std::string::npos) fail("raw control or bidirectional character", line);
  }
}

// The matcher against the rule it implements, taken literally: ASCII
// folding when both texts are ASCII, else equal Unicode lower-case forms.
// Probes: the record's own field keys, and every candidate with some of
// its ASCII letters upper-cased (a "k" perhaps as the Kelvin sign), once
// as it is and once with one byte changed.
void check_sensitive_keys(const Record& r, const SensitiveKeys& matcher, FuzzInput& in) {
  std::vector<std::string> candidates;
  if (r.keys) {
    candidates = *r.keys;
  } else {
    candidates.assign(kDefaultSensitiveKeys.begin(), kDefaultSensitiveKeys.end());
  }
  const auto ascii = [](const std::string& text) {
    for (const char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  };
  const auto folded = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
  };
  std::vector<std::string> probes;
  for (const FieldEntry& entry : r.fields.entries()) probes.push_back(entry.key);
  for (const std::string& candidate : candidates) {
    std::string probe;
    for (const char c : candidate) {
      const uint8_t pick = (c >= 'a' && c <= 'z') ? in.byte() % 3 : 0;
      if (pick == 1) {
        probe.push_back(static_cast<char>(c - 32));
      } else if (pick == 2 && c == 'k') {
        probe.append("\u212A");  // Kelvin sign, whose lower-case form is "k"
      } else {
        probe.push_back(c);
      }
    }
    probes.push_back(probe);
    // The same with one ASCII byte changed: equal lengths and heads, a
    // different tail, or the reverse.
    const size_t at = probe.empty() ? 0 : in.byte() % probe.size();
    if (at < probe.size() && static_cast<unsigned char>(probe[at]) < 0x80) {
      probe[at] = static_cast<char>(probe[at] ^ 1);
      probes.push_back(probe);
    }
  }
  for (const std::string& probe : probes) {
    bool expected = false;
    for (const std::string& candidate : candidates) {
      expected = expected || (ascii(probe) && ascii(candidate)
                                  ? folded(probe) == folded(candidate)
                                  : unicode_lowercase(probe) == unicode_lowercase(candidate));
    }
    if (matcher.matches(probe) != expected) fail("sensitive-key match differs from the rule", probe);
  }
}

}  // namespace
}  // namespace vorlisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlisk;
  using namespace vorlisk::fuzz;
  FuzzInput in(data, size);
  Record r = build_record(in);
  RedactionSettings settings;
  std::optional<SensitiveKeys> keys;
  if (r.keys) settings.sensitive_keys = &keys.emplace(*r.keys);
  settings.patterns = std::span(fixed_patterns()).first(r.pattern_count);
  settings.replacement = r.replacement;
  const std::optional<std::string_view> stack =
      r.stack ? std::optional<std::string_view>(*r.stack) : std::nullopt;

  const bool rejected_big_int = has_rejected_big_int(Value::map(r.fields));
  JsonResult json = render_json_record(r.fields, r.logger, r.level, r.service, r.message, r.timestamp,
                                       stack, settings);
  // The prefilter only skips searches that would change nothing.
  RedactionSettings prefiltered = settings;
  prefiltered.prefilter = fixed_prefilter(r.pattern_count);
  const JsonResult screened = render_json_record(r.fields, r.logger, r.level, r.service, r.message,
                                                 r.timestamp, stack, prefiltered);
  if (screened != json) {
    fail("the prefilter changed the JSON line", std::holds_alternative<std::string>(json) ? std::get<std::string>(json) : "");
  }
  if (reference_json_line(r, settings, stack) != json) {
    fail("JSON line differs from the rules",
         std::holds_alternative<std::string>(json) ? std::get<std::string>(json) : "");
  }
  if (render_console_line(r.fields, r.level, r.message, r.colors, r.timestamp, prefiltered, stack) !=
      render_console_line(r.fields, r.level, r.message, r.colors, r.timestamp, settings, stack)) {
    fail("the prefilter changed the console line", "");
  }
  if (const auto* error = std::get_if<JsonError>(&json)) {
    if (!rejected_big_int) fail("record refused without a bad big integer", error->display());
  } else {
    check_json_line(r, std::get<std::string>(json));
  }
  const std::string console =
      render_console_line(r.fields, r.level, r.message, r.colors, r.timestamp, settings, stack);
  if (console != reference_console_line(r, settings, stack)) fail("console line differs from the rules", console);
  check_console_line(console, r.colors);
  check_sensitive_keys(r, settings.keys(), in);
  return 0;
}
