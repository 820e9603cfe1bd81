#include "core/pattern/backtracking_engine.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/pattern/match_loop.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pcre2_form.h"
#include "core/pattern/pcre2_unicode.h"
#include "core/pattern/published_once.h"
#include "core/pattern/size_bounds.h"

namespace vorlisk {
namespace {

constexpr uint32_t kCompileOptions =
    PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_BACKSLASH_C;

// PCRE2 counts its match limit afresh at every start position, so over a
// long text it bounds nothing: a search that fails at each of n positions
// may take n times the limit. The step limit bounds one search for the next
// match over all its start positions together, as a backtracking engine
// that counts its backtracks over the whole search does: a step is a new
// start position, or a resumption after a backtrack.
//
// PCRE2 shows those steps only to callouts placed where they are taken,
// which make an ordinary search slower. So a search
// first runs without callouts, with PCRE2's own limit cut to the step limit
// shared out among the start positions it may try. PCRE2 counts every
// backtrack, and its first attempt at a position, in that limit, so a
// search that ends within it has taken no more steps in all than the step
// limit, and its answer stands. A search that reaches it is run again with
// the callout counting every step (the program with callouts is compiled
// when a search first needs it), and with PCRE2's own limit as it was, as a
// second bound. The first run is skipped when the share of a position would
// be too small to finish any search but a trivial one.
constexpr uint32_t kMinimumShareOfPosition = 32;

// Above this, a thread's match-data block (its ovector and the backtracking
// frames the engine keeps in it) is freed after the call that grew it.
constexpr size_t kRetainedMatchDataBytes = 1 << 20;
constexpr uint32_t kMinimumOvectorPairs = 16;

std::string error_message(int code) {
  PCRE2_UCHAR buffer[256];
  const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "unknown error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

PCRE2_SPTR subject(std::string_view text) {
  return reinterpret_cast<PCRE2_SPTR>(text.data() != nullptr ? text.data() : "");
}

// The steps one search has taken; shared by every start position it tries.
struct SearchSteps {
  uint32_t taken = 0;
};

int count_step(pcre2_callout_block* block, void* steps) {
  constexpr uint32_t kStepFlags = PCRE2_CALLOUT_STARTMATCH | PCRE2_CALLOUT_BACKTRACK;
  if ((block->callout_flags & kStepFlags) == 0) return 0;
  uint32_t& taken = static_cast<SearchSteps*>(steps)->taken;
  return ++taken > kBacktrackMatchLimit ? PCRE2_ERROR_MATCHLIMIT : 0;
}

// The calling thread's match-data block and match context, reused across
// searches.
class ThreadMatchData {
 public:
  ThreadMatchData() = default;
  ThreadMatchData(const ThreadMatchData&) = delete;
  ThreadMatchData& operator=(const ThreadMatchData&) = delete;
  ~ThreadMatchData() {
    release();
    if (context_ != nullptr) pcre2_match_context_free(context_);
    if (general_ != nullptr) pcre2_general_context_free(general_);
  }

  // A block with at least `pairs` ovector pairs; null when out of memory.
  pcre2_match_data* acquire(uint32_t pairs) {
    if (!create_contexts()) return nullptr;
    if (data_ != nullptr && pairs_ >= pairs) return data_;
    release();
    pairs_ = std::max(pairs, kMinimumOvectorPairs);
    data_ = pcre2_match_data_create(pairs_, general_);
    return data_;
  }

  // A match context with an expression's heap limit, for the searches
  // of one call to set their own match limit and callout in. Null when out
  // of memory.
  pcre2_match_context* limits(uint32_t heap_limit_kib) {
    if (!create_contexts()) return nullptr;
    pcre2_set_heap_limit(context_, heap_limit_kib);
    return context_;
  }

  // Gives back a block that grew large during the last call.
  void trim() {
    if (largest_block_ > kRetainedMatchDataBytes) release();
  }

 private:
  bool create_contexts() {
    if (general_ == nullptr) {
      general_ = pcre2_general_context_create(&tracked_malloc, &tracked_free, this);
      if (general_ == nullptr) return false;
    }
    if (context_ == nullptr) {
      context_ = pcre2_match_context_create(general_);
      if (context_ == nullptr) return false;
    }
    return true;
  }

  void release() {
    if (data_ != nullptr) pcre2_match_data_free(data_);
    data_ = nullptr;
    pairs_ = 0;
    largest_block_ = 0;
  }

  static void* tracked_malloc(size_t size, void* self) {
    auto* owner = static_cast<ThreadMatchData*>(self);
    owner->largest_block_ = std::max(owner->largest_block_, size);
    return std::malloc(size);
  }
  static void tracked_free(void* block, void*) { std::free(block); }

  pcre2_general_context* general_ = nullptr;
  pcre2_match_context* context_ = nullptr;
  pcre2_match_data* data_ = nullptr;
  uint32_t pairs_ = 0;
  size_t largest_block_ = 0;
};

thread_local ThreadMatchData thread_match_data;

using CompileContext =
    std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)>;

// The options every form is compiled with: a line feed as the only newline,
// groups nested at most kBacktrackNestLimit deep.
CompileContext make_compile_context() {
  CompileContext context(pcre2_compile_context_create(nullptr), &pcre2_compile_context_free);
  if (context != nullptr) {
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
    pcre2_set_parens_nest_limit(context.get(), kBacktrackNestLimit);
  }
  return context;
}

// A compiled program, or null when PCRE2 could not compile it.
struct Pcre2Code {
  explicit Pcre2Code(pcre2_code* compiled) : code(compiled) {}
  Pcre2Code(const Pcre2Code&) = delete;
  Pcre2Code& operator=(const Pcre2Code&) = delete;
  ~Pcre2Code() { pcre2_code_free(code); }
  pcre2_code* code;
};

// `form` compiled in `context`, into a holder allocated first, so that no
// allocation after PCRE2's leaves its program unowned. The holder's program
// is null when PCRE2 could not compile the form (its error in `error_code`
// at `error_offset`), or there is no context.
std::unique_ptr<Pcre2Code> compile_form(std::string_view form, const CompileContext& context,
                                        int& error_code, PCRE2_SIZE& error_offset) {
  auto program = std::make_unique<Pcre2Code>(nullptr);
  if (context != nullptr) {
    program->code = pcre2_compile(subject(form), form.size(), kCompileOptions, &error_code,
                                  &error_offset, context.get());
  }
  return program;
}

// One pattern compiled twice: as it is, and with a callout wherever a step
// may be taken (pcre2_form.h, Pcre2Callouts::kAtChoicePoints), compiled
// when a search first needs it. A pattern that outgrows PCRE2's 64 KiB
// program with its callouts has no counted form, and is searched with
// PCRE2's own per-position limit alone.
//
// Thread-safety: read only once made, but for the counted form, which a
// thread that needs it and finds none compiles and publishes; no lock, so
// a process forked meanwhile inherits none held.
class Pcre2Program {
 public:
  Pcre2Program(std::unique_ptr<Pcre2Code> plain, std::string counted_form)
      : plain_(std::move(plain)), counted_form_(std::move(counted_form)) {}
  Pcre2Program(const Pcre2Program&) = delete;
  Pcre2Program& operator=(const Pcre2Program&) = delete;

  const pcre2_code* plain() const { return plain_->code; }
  const std::string& counted_form() const { return counted_form_; }

  // Null when the pattern has no counted form (or memory ran out).
  const pcre2_code* counted() const {
    return counted_
        .get_or_build([this] {
          int error_code = 0;
          PCRE2_SIZE error_offset = 0;
          return compile_form(counted_form_, make_compile_context(), error_code, error_offset);
        })
        ->code;
  }

 private:
  std::unique_ptr<Pcre2Code> plain_;  // never null; its program neither
  std::string counted_form_;
  PublishedOnce<Pcre2Code> counted_;
};

class Pcre2Matcher {
 public:
  Pcre2Matcher(const Pcre2Program& program, ThreadMatchData& cache, uint32_t pairs,
               uint32_t heap_limit_kib, std::string_view text)
      : program_(program),
        context_(cache.limits(heap_limit_kib)),
        data_(cache.acquire(pairs)),
        text_(text) {}

  SearchStatus find(size_t from, MatchBounds& found) {
    if (data_ == nullptr || context_ == nullptr) return SearchStatus::kFailed;
    // At most one start position per byte, and one at the end.
    const size_t share = kBacktrackMatchLimit / (text_.size() - from + 1);
    int rc = PCRE2_ERROR_MATCHLIMIT;
    if (share >= kMinimumShareOfPosition) {
      pcre2_set_match_limit(context_, static_cast<uint32_t>(share));
      pcre2_set_callout(context_, nullptr, nullptr);
      rc = match(program_.plain(), from);
    }
    if (rc == PCRE2_ERROR_MATCHLIMIT) {
      const pcre2_code* counted = program_.counted();
      steps_.taken = 0;
      pcre2_set_match_limit(context_, kBacktrackMatchLimit);
      pcre2_set_callout(context_, &count_step, &steps_);
      rc = match(counted != nullptr ? counted : program_.plain(), from);
    }
    if (rc == PCRE2_ERROR_NOMATCH) return SearchStatus::kNotFound;
    if (rc <= 0) return SearchStatus::kFailed;
    set_pairs_ = static_cast<uint32_t>(rc);
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_);
    found.start = ovector[0];
    found.end = ovector[1];
    return SearchStatus::kFound;
  }

  std::optional<std::string_view> group_text(uint32_t number) const {
    if (number >= set_pairs_) return std::nullopt;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_);
    const PCRE2_SIZE start = ovector[2 * number];
    const PCRE2_SIZE end = ovector[2 * number + 1];
    if (start == PCRE2_UNSET || start > end || end > text_.size()) return std::nullopt;
    return text_.substr(start, end - start);
  }

 private:
  int match(const pcre2_code* code, size_t from) {
    // The first search checks the whole text is UTF-8; later ones start on
    // a character boundary of the same text and need not check again.
    const int rc = pcre2_match(code, subject(text_), text_.size(), from,
                               utf_checked_ ? PCRE2_NO_UTF_CHECK : 0, data_, context_);
    utf_checked_ = true;
    return rc;
  }

  const Pcre2Program& program_;
  pcre2_match_context* context_;
  pcre2_match_data* data_;
  std::string_view text_;
  SearchSteps steps_;
  bool utf_checked_ = false;
  uint32_t set_pairs_ = 0;
};

}  // namespace

struct BacktrackingExpression::Handles {
  Handles(std::unique_ptr<Pcre2Code> plain, std::string form)
      : program(std::move(plain), std::move(form)) {}

  Pcre2Program program;
  uint32_t heap_limit_kib = 0;
  size_t memory_bound = 0;
};

namespace {

// What the program compiled with callouts may take beyond the plain one:
// the two share their header and name table, and PCRE2 refuses code
// longer than its links can span (64 KiB with its usual 2-byte links).
size_t counted_code_bound() {
  uint32_t link_size = 0;
  if (pcre2_config(PCRE2_CONFIG_LINKSIZE, &link_size) < 0 || link_size > 4) {
    return pattern::kSaturatedBytes;
  }
  return size_t{1} << (8 * link_size);
}

// The two programs, their holders and the form with callouts.
size_t programs_bound(const pcre2_code* plain, const std::string& counted_form) {
  using pattern::add_bytes;
  using pattern::allocation_bytes;
  static const size_t counted_code = counted_code_bound();
  size_t plain_size = 0;
  if (pcre2_pattern_info(plain, PCRE2_INFO_SIZE, &plain_size) != 0) return pattern::kSaturatedBytes;
  const size_t holders = 2 * allocation_bytes(sizeof(Pcre2Code));
  const size_t programs =
      add_bytes(pattern::multiply_bytes(2, allocation_bytes(plain_size)), counted_code);
  return add_bytes(add_bytes(holders, programs), allocation_bytes(counted_form.capacity()));
}

}  // namespace

std::variant<BacktrackingExpression, std::string> BacktrackingExpression::compile(
    std::string_view pattern) {
  const CompileContext compile_context = make_compile_context();
  if (compile_context == nullptr) {
    return "Error compiling regex: " + error_message(PCRE2_ERROR_NOMEMORY);
  }
  pattern::BacktrackingParse parse = pattern::parse_backtracking_pattern(pattern);
  pattern::Pcre2Form form = pattern::emit_pcre2(parse.tree, pattern.size(), engine_unknown());
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  std::unique_ptr<Pcre2Code> plain =
      compile_form(form.text, compile_context, error_code, error_offset);
  if (plain->code == nullptr) {
    return "Parsing error at position " + std::to_string(form.source_offset(error_offset)) + ": " +
           error_message(error_code);
  }
  const pcre2_code* code = plain->code;
  auto handles = std::make_unique<Handles>(
      std::move(plain), pattern::emit_pcre2(parse.tree, pattern.size(), engine_unknown(),
                                            pattern::Pcre2Callouts::kAtChoicePoints)
                            .text);
  uint32_t capture_count = 0;
  size_t frame_size = 0;
  int info = pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &capture_count);
  if (info == 0) info = pcre2_pattern_info(code, PCRE2_INFO_FRAMESIZE, &frame_size);
  if (info != 0) return "Error compiling regex: " + error_message(info);
  // A refused construct is reported only when PCRE2 accepts the rest, so
  // that its own errors keep their places.
  if (parse.refusal) return *parse.refusal;
  // Every backtracking step opens at most one frame of `frame_size` bytes
  // (128 bytes plus 16 per capture group in PCRE2 10.42), and frames only
  // pile up while steps are taken at one start position, which PCRE2's own
  // match limit bounds as well, so one search holds at most
  // kBacktrackMatchLimit + 1 of them: about 122 MiB for a pattern without
  // groups, 137 MiB with one. That is the worst case of one search, and the
  // heap limit; the depth limit stays the engine's default (10,000,000),
  // which the match limit always reaches first. A thread gives back a
  // match-data block that grew past 1 MiB after the call.
  const uint64_t heap_kib = ((uint64_t{kBacktrackMatchLimit} + 1) * frame_size + 1023) / 1024;
  handles->heap_limit_kib = static_cast<uint32_t>(std::min<uint64_t>(heap_kib, UINT32_MAX));
  handles->memory_bound = pattern::add_bytes(pattern::allocation_bytes(sizeof(Handles)),
                                             programs_bound(code, handles->program.counted_form()));
  return BacktrackingExpression(std::move(handles), capture_count);
}

BacktrackingExpression::BacktrackingExpression(std::unique_ptr<Handles> handles,
                                               uint32_t capture_count)
    : handles_(std::move(handles)), capture_count_(capture_count) {}
BacktrackingExpression::BacktrackingExpression(BacktrackingExpression&&) noexcept = default;
BacktrackingExpression& BacktrackingExpression::operator=(BacktrackingExpression&&) noexcept =
    default;
BacktrackingExpression::~BacktrackingExpression() = default;

std::optional<std::string> BacktrackingExpression::replace_all(std::string_view text,
                                                               std::string_view replacement) const {
  ThreadMatchData& cache = thread_match_data;
  Pcre2Matcher matcher(handles_->program, cache, capture_count_ + 1, handles_->heap_limit_kib, text);
  std::optional<std::string> result = replace_all_matches(text, replacement, *this, matcher);
  cache.trim();
  return result;
}

size_t BacktrackingExpression::memory_bound() const { return handles_->memory_bound; }

void BacktrackingExpression::numbers_of(std::string_view name,
                                        std::vector<uint32_t>& numbers) const {
  uint32_t count = 0;
  uint32_t entry_size = 0;
  PCRE2_SPTR table = nullptr;
  if (pcre2_pattern_info(handles_->program.plain(), PCRE2_INFO_NAMECOUNT, &count) != 0 ||
      pcre2_pattern_info(handles_->program.plain(), PCRE2_INFO_NAMEENTRYSIZE, &entry_size) != 0 ||
      pcre2_pattern_info(handles_->program.plain(), PCRE2_INFO_NAMETABLE, &table) != 0) {
    return;
  }
  const size_t first = numbers.size();
  // Each entry: the group number in two bytes, high first, then the name
  // ending in a zero byte.
  for (uint32_t i = 0; i < count; ++i) {
    PCRE2_SPTR entry = table + static_cast<size_t>(i) * entry_size;
    const char* entry_name = reinterpret_cast<const char*>(entry + 2);
    if (std::string_view(entry_name, std::strlen(entry_name)) == name) {
      numbers.push_back((static_cast<uint32_t>(entry[0]) << 8) | entry[1]);
    }
  }
  std::sort(numbers.begin() + static_cast<std::ptrdiff_t>(first), numbers.end());
}

}  // namespace vorlisk
