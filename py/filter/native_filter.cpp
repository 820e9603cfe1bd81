#include "py/filter/native_filter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/filter/pre_render_filter.h"
#include "core/value/levels.h"
#include "py/conversion/text.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

// The filter lives behind a pointer: its locks cannot move, and the object
// is only allocated once the filter has been built.
using FilterObject = NativeObject<std::unique_ptr<PreRenderFilter>>;

PreRenderFilter& filter_of(PyObject* self) { return *native_of<FilterObject>(self); }

constexpr uint32_t kUnknownLevel = 20;
constexpr uint32_t kHighestLevel = UINT32_MAX;

// A level argument: an int (bool and IntEnum members included) or a level
// method name. Anything else is a TypeError without an argument note.
bool check_level_type(PyObject* level) {
  if (PyLong_Check(level) || PyUnicode_Check(level)) return true;
  raise_type_mismatch(level, "str");
  return false;
}

// The value of a level that passed check_level_type: an int clamped to
// 0..2^32-1 whatever its size, a name's level or 20 for an unknown name.
// Never fails.
uint32_t level_value(PyObject* level) {
  if (PyLong_Check(level)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(level, &overflow);
    if (overflow != 0) return overflow < 0 ? 0 : kHighestLevel;
    if (value < 0) return 0;
    return value > kHighestLevel ? kHighestLevel : static_cast<uint32_t>(value);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(level, &size);
  if (text == nullptr) {
    // Lone surrogates: no repair can turn them into an ASCII level name.
    PyErr_Clear();
    return kUnknownLevel;
  }
  return parse_level_name(std::string_view(text, static_cast<size_t>(size))).value_or(kUnknownLevel);
}

constexpr auto kNewSig = method_signature(
    "NativeFilter", "__new__",
    {optional("sample_rate"), optional("sample_max_level"), optional("rate_limit_max"),
     optional("rate_limit_period")});

PyObject* filter_new(PyTypeObject* subtype, PyObject* const* args) {
  // sample_rate and rate_limit_period default to numbers: None is refused.
  double sample_rate = 1.0;
  if (args[0] != nullptr && !extract_double(args[0], "sample_rate", &sample_rate)) return nullptr;
  std::optional<std::string_view> sample_max_level;
  if (!is_absent(args[1])) {
    std::string_view text;
    if (!extract_strict_text(args[1], "sample_max_level", &text)) return nullptr;
    sample_max_level = text;
  }
  std::optional<uint64_t> rate_limit_max;
  if (!is_absent(args[2])) {
    uint64_t value = 0;
    if (!extract_uint64(args[2], "rate_limit_max", &value)) return nullptr;
    rate_limit_max = value;
  }
  double rate_limit_period = 60.0;
  if (args[3] != nullptr && !extract_double(args[3], "rate_limit_period", &rate_limit_period)) {
    return nullptr;
  }

  auto validated =
      validate_filter_settings(sample_rate, sample_max_level, rate_limit_max, rate_limit_period);
  if (const auto* message = std::get_if<std::string>(&validated)) {
    PyErr_SetString(PyExc_ValueError, message->c_str());
    return nullptr;
  }
  auto filter = std::make_unique<PreRenderFilter>(std::get<FilterSettings>(validated));
  return new_native_object<FilterObject>(subtype, std::move(filter));
}

constexpr auto kAllowSig =
    method_signature("NativeFilter", "allow", {required("key"), required("level")});

PyObject* filter_allow(PyObject* self, PyObject* const* args) {
  PyObject* key = nullptr;
  if (!extract_text_object(args[0], "key", &key)) return nullptr;
  if (!check_level_type(args[1])) return nullptr;

  PreRenderFilter& filter = filter_of(self);
  if (filter.is_empty()) Py_RETURN_TRUE;
  // A level or key that no stage reads is not converted: neither can fail.
  const uint32_t level = filter.uses_level() ? level_value(args[1]) : kUnknownLevel;
  const bool allowed = filter.uses_key() ? filter.allow(StrText(key).view(), level)
                                         : filter.allow(std::string_view(), level);
  return PyBool_FromLong(allowed);
}

PyObject* filter_is_empty(PyObject* self) { return PyBool_FromLong(filter_of(self).is_empty()); }

bool set_count(PyObject* dict, const char* name, uint64_t count) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
  return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

PyObject* filter_stats(PyObject* self) {
  const FilterCounts counts = filter_of(self).stats();  // the lock is released here
  PyRef stats = PyRef::steal(PyDict_New());
  if (!stats || !set_count(stats.get(), "sampled", counts.sampled) ||
      !set_count(stats.get(), "rate_limited", counts.rate_limited)) {
    return nullptr;
  }
  return stats.release();
}

PyMethodDef filter_methods[] = {
    fastcall_method<kAllowSig, filter_allow>(
        "allow",
        "allow($self, key, level)\n--\n\n"
        "Whether a record with this rate-limit key and level should be rendered.\n"
        "`level` is a numeric level as in `logging` or a level method name.\n"
        "A record that is not allowed is counted as sampled or rate limited."),
    noargs_method<filter_is_empty>("is_empty",
                                   "is_empty($self)\n--\n\n"
                                   "True when the filter has neither a sampling nor a rate-limit stage."),
    noargs_method<filter_stats>("stats",
                                "stats($self)\n--\n\n"
                                "The drop counters: {\"sampled\": n, \"rate_limited\": n}."),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kNativeFilterSpec{
    "NativeFilter",
    "NativeFilter(sample_rate=1.0, sample_max_level=None, rate_limit_max=None, "
    "rate_limit_period=60.0)\n--\n\n"
    "Composed pre-render filter (sampling + rate limiting), applied before a record\n"
    "is rendered.\n\n"
    "Sampling keeps a `sample_rate` fraction of the records at or below\n"
    "`sample_max_level` (every level when it is None) and every record above it.\n"
    "Rate limiting lets at most `rate_limit_max` records per key through within\n"
    "any window of `rate_limit_period` seconds.",
    sizeof(FilterObject),
    filter_methods,
    nullptr,
    &new_trampoline<kNewSig, filter_new>,
    &native_dealloc<FilterObject>,
    0,
    nullptr,
};

}  // namespace

ClassType kNativeFilterType(kNativeFilterSpec);

}  // namespace vorlisk::py
