#include "py/conversion/stdlib_objects.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "py/conversion/interned_name.h"
#include "py/conversion/stdlib_lookup.h"
#include "py/conversion/uuid_class.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py::detail {

// Writes a text into a StdlibText from its start. Every number it is given
// is already known to fit its width, and no text it writes is longer than
// the buffer.
class StdlibTextWriter {
 public:
  explicit StdlibTextWriter(StdlibText& text) : text_(text), out_(text.text_) {}
  ~StdlibTextWriter() { text_.size_ = size(); }
  StdlibTextWriter(const StdlibTextWriter&) = delete;
  StdlibTextWriter& operator=(const StdlibTextWriter&) = delete;

  size_t size() const { return static_cast<size_t>(out_ - text_.text_); }
  const char* data() const { return text_.text_; }

  void put(char c) { *out_++ = c; }
  // `size` (at most 16) of the 16 bytes at `text`, copied as one block.
  void put16(const char* text, size_t size) {
    std::memcpy(out_, text, 16);
    out_ += size;
  }
  // 0 to 99, two digits.
  void put2(unsigned value) {
    std::memcpy(out_, &kTwoDigits[2 * value], 2);
    out_ += 2;
  }
  // 0 to 9999, four digits.
  void put4(unsigned value) {
    put2(value / 100);
    put2(value % 100);
  }
  // 0 to 999999, six digits.
  void put6(unsigned value) {
    put2(value / 10000);
    put2(value / 100 % 100);
    put2(value % 100);
  }
  // A UUID's 16 bytes, most significant first, as lower-case hex in groups
  // of 4, 2, 2, 2 and 6 bytes joined by '-'.
  void put_uuid(uint64_t high, uint64_t low) {
    static constexpr std::array<uint8_t, 16> kPosition = {0,  2,  4,  6,  9,  11, 14, 16,
                                                          19, 21, 24, 26, 28, 30, 32, 34};
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      put_hex_byte(kPosition[i], static_cast<unsigned>(high >> (56 - 8 * i)) & 0xFF);
      put_hex_byte(kPosition[8 + i], static_cast<unsigned>(low >> (56 - 8 * i)) & 0xFF);
    }
    out_[8] = out_[13] = out_[18] = out_[23] = '-';
    out_ += 36;
  }

 private:
  void put_hex_byte(size_t position, unsigned byte) {
    std::memcpy(out_ + position, &kHexPairs[2 * byte], 2);
  }

  static constexpr std::array<char, 200> kTwoDigits = [] {
    std::array<char, 200> table{};
    for (int i = 0; i < 100; ++i) {
      table[2 * i] = static_cast<char>('0' + i / 10);
      table[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return table;
  }();
  static constexpr std::array<char, 512> kHexPairs = [] {
    constexpr char kHex[] = "0123456789abcdef";
    std::array<char, 512> table{};
    for (int i = 0; i < 256; ++i) {
      table[2 * i] = kHex[i >> 4];
      table[2 * i + 1] = kHex[i & 0xF];
    }
    return table;
  }();

  StdlibText& text_;
  char* out_;
};

namespace {

InternedName g_datetime_module("datetime");
InternedName g_utcoffset("utcoffset");

enum Field { kYear, kMonth, kDay, kHour, kMinute, kSecond, kMicrosecond, kTzinfo, kFieldCount };
enum DeltaField { kDays, kSeconds, kMicroseconds, kDeltaFieldCount };

// The datetime module's types, with the descriptors of their fields: data
// descriptors of immutable types whose instances have no __dict__, so
// reading an attribute always ends in them. Set whole once found, and kept
// for the life of the process (never released).
struct DatetimeTypes {
  PyObject* date = nullptr;
  PyObject* datetime = nullptr;
  PyObject* timedelta = nullptr;
  PyObject* timezone = nullptr;  // a fixed offset
  DescriptorReader fields[kFieldCount];
  // A timedelta's own days, seconds and microseconds, as isoformat() reads
  // them: a subclass's attributes of those names do not count.
  DescriptorReader delta[kDeltaFieldCount];
};

DatetimeTypes g_types;

// The last UTC offset formatted, by the identity of the offset object (a
// fixed-offset timezone hands out the same timedelta every time) and of
// the tzinfo when that is a datetime.timezone, whose offset never depends on
// the datetime: the same timezone object then skips the utcoffset() call.
// Holds references, so neither object can be replaced by another at its
// address. The interpreter lock guards it; it is only ever changed whole
// (see remember_offset).
struct OffsetCache {
  PyObject* offset = nullptr;
  PyObject* timezone = nullptr;  // null unless exactly a datetime.timezone
  char text[16] = {};            // "+HH:MM:SS.ffffff" at most
  size_t size = 0;
};

OffsetCache g_last_offset;

// Makes `offset` and `timezone` (null unless it is exactly a
// datetime.timezone) with `text` the cached offset. The objects it held
// before are released last, when the cache is whole again: releasing one
// can run a finalizer that formats another datetime, and so uses the cache.
void remember_offset(PyObject* offset, PyObject* timezone, std::string_view text) {
  PyRef previous_offset = PyRef::steal(std::exchange(g_last_offset.offset, Py_NewRef(offset)));
  PyRef previous_timezone =
      PyRef::steal(std::exchange(g_last_offset.timezone, Py_XNewRef(timezone)));
  std::memmove(g_last_offset.text, text.data(), text.size());  // may be the cached text itself
  g_last_offset.size = text.size();
}

PyRef module_attribute(PyObject* module, const char* name) {
  PyRef found = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!found) PyErr_Clear();
  return found;
}

bool immutable_type(const PyRef& type) {
  return type && PyType_Check(type.get()) &&
         (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.get())) & Py_TPFLAGS_IMMUTABLETYPE);
}

// The descriptors of `names` on `type`, all or nothing.
template <size_t N>
bool find_descriptors(PyObject* type, const char* const (&names)[N],
                      std::optional<FoundDescriptor> (&found)[N]) {
  for (size_t i = 0; i < N; ++i) {
    found[i] = find_data_descriptor(type, names[i]);
    if (!found[i]) return false;
  }
  return true;
}

void find_datetime_types() {
  const PyRef module = imported_module(g_datetime_module);
  if (!module) return;
  PyRef date = module_attribute(module.get(), "date");
  PyRef datetime = module_attribute(module.get(), "datetime");
  PyRef timedelta = module_attribute(module.get(), "timedelta");
  PyRef timezone = module_attribute(module.get(), "timezone");
  // Immutable types only: neither their isoformat() nor their attributes
  // can ever have been replaced.
  if (!immutable_type(date) || !immutable_type(datetime) || !immutable_type(timedelta) ||
      !immutable_type(timezone)) {
    return;
  }
  // The date's own fields serve datetimes too (a datetime is a date).
  static constexpr const char* kDateNames[] = {"year", "month", "day"};
  static constexpr const char* kTimeNames[] = {"hour", "minute", "second", "microsecond",
                                               "tzinfo"};
  static constexpr const char* kDeltaNames[] = {"days", "seconds", "microseconds"};
  std::optional<FoundDescriptor> date_fields[3];
  std::optional<FoundDescriptor> time_fields[5];
  std::optional<FoundDescriptor> delta_fields[kDeltaFieldCount];
  if (!find_descriptors(date.get(), kDateNames, date_fields) ||
      !find_descriptors(datetime.get(), kTimeNames, time_fields) ||
      !find_descriptors(timedelta.get(), kDeltaNames, delta_fields)) {
    return;
  }
  // User code may have run above (a module is any object) and found the
  // types meanwhile: the first set stays.
  if (g_types.datetime != nullptr) return;
  for (int i = 0; i < 3; ++i) g_types.fields[i] = DescriptorReader(std::move(*date_fields[i]));
  for (int i = 0; i < 5; ++i) g_types.fields[3 + i] = DescriptorReader(std::move(*time_fields[i]));
  for (int i = 0; i < kDeltaFieldCount; ++i) {
    g_types.delta[i] = DescriptorReader(std::move(*delta_fields[i]));
  }
  g_types.date = date.release();
  g_types.timedelta = timedelta.release();
  g_types.timezone = timezone.release();
  g_types.datetime = datetime.release();
}

struct DateFields {
  long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, microsecond = 0;
};

// Fields `first` to `last` of a date or datetime, which the type keeps in
// range; checked all the same, as they index the digit table.
bool read_fields(PyObject* obj, Field first, Field last, DateFields& f) {
  long* const out[] = {&f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second, &f.microsecond};
  for (int i = first; i <= last; ++i) {
    PyRef number = g_types.fields[i].read(obj);
    if (!number) return false;
    *out[i] = PyLong_AsLong(number.get());
    if (*out[i] == -1 && PyErr_Occurred()) return false;
  }
  const auto below = [](long value, unsigned long limit) {
    return static_cast<unsigned long>(value) < limit;
  };
  if (below(f.year - 1, 9999) && below(f.month - 1, 12) && below(f.day - 1, 31) &&
      below(f.hour, 24) && below(f.minute, 60) && below(f.second, 60) &&
      below(f.microsecond, 1'000'000)) {
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "a date or time field out of its range");
  return false;
}

void put_date(StdlibTextWriter& out, const DateFields& f) {
  out.put4(static_cast<unsigned>(f.year));
  out.put('-');
  out.put2(static_cast<unsigned>(f.month));
  out.put('-');
  out.put2(static_cast<unsigned>(f.day));
}

// The offset in microseconds, from the timedelta's own fields.
bool offset_microseconds(PyObject* offset, int64_t& total) {
  int64_t parts[kDeltaFieldCount] = {};
  for (int i = 0; i < kDeltaFieldCount; ++i) {
    PyRef value = g_types.delta[i].read(offset);
    if (!value) return false;
    parts[i] = PyLong_AsLongLong(value.get());
    if (parts[i] == -1 && PyErr_Occurred()) return false;
  }
  total = (parts[kDays] * 86400 + parts[kSeconds]) * 1'000'000 + parts[kMicroseconds];
  return true;
}

// "+HH:MM", then ":SS" when there are seconds or microseconds, then
// ".ffffff" when there are microseconds; nothing for a None offset.
bool put_utc_offset(StdlibTextWriter& out, PyObject* datetime, PyObject* tzinfo) {
  if (tzinfo == g_last_offset.timezone) {
    out.put16(g_last_offset.text, g_last_offset.size);
    return true;
  }
  PyObject* const timezone =
      reinterpret_cast<PyObject*>(Py_TYPE(tzinfo)) == g_types.timezone ? tzinfo : nullptr;
  PyObject* name = g_utcoffset.get();
  if (name == nullptr) return false;
  // The same call isoformat() makes: the tzinfo's utcoffset(datetime),
  // checked to be a timedelta of less than a day.
  const PyRef offset = PyRef::steal(PyObject_CallMethodObjArgs(datetime, name, nullptr));
  if (!offset) return false;
  if (offset.get() == Py_None) return true;
  if (offset.get() == g_last_offset.offset) {
    out.put16(g_last_offset.text, g_last_offset.size);
    remember_offset(offset.get(), timezone, {g_last_offset.text, g_last_offset.size});
    return true;
  }
  if (!PyObject_TypeCheck(offset.get(), reinterpret_cast<PyTypeObject*>(g_types.timedelta))) {
    PyErr_SetString(PyExc_TypeError, "utcoffset() did not return a timedelta");
    return false;
  }
  int64_t total = 0;
  if (!offset_microseconds(offset.get(), total)) return false;
  char sign = '+';
  if (total < 0) {
    sign = '-';
    total = -total;
  }
  // datetime.utcoffset() itself refuses an offset of a day or more.
  if (total >= int64_t{86400} * 1'000'000) {
    PyErr_SetString(PyExc_ValueError, "utcoffset() is not under a day");
    return false;
  }
  const auto fraction = static_cast<unsigned>(total % 1'000'000);
  const auto whole = static_cast<unsigned>(total / 1'000'000);
  const size_t start = out.size();
  out.put(sign);
  out.put2(whole / 3600);
  out.put(':');
  out.put2(whole / 60 % 60);
  if (whole % 60 != 0 || fraction != 0) {
    out.put(':');
    out.put2(whole % 60);
  }
  if (fraction != 0) {
    out.put('.');
    out.put6(fraction);
  }
  remember_offset(offset.get(), timezone, {out.data() + start, out.size() - start});
  return true;
}

StdlibFormat format_date(PyObject* date, StdlibText& text) {
  DateFields f;
  if (!read_fields(date, kYear, kDay, f)) return StdlibFormat::failed;
  StdlibTextWriter out(text);
  put_date(out, f);
  return StdlibFormat::formatted;
}

StdlibFormat format_datetime(PyObject* datetime, StdlibText& text) {
  DateFields f;
  if (!read_fields(datetime, kYear, kMicrosecond, f)) return StdlibFormat::failed;
  PyRef tzinfo = g_types.fields[kTzinfo].read(datetime);
  if (!tzinfo) return StdlibFormat::failed;
  StdlibTextWriter out(text);
  put_date(out, f);
  out.put('T');
  out.put2(static_cast<unsigned>(f.hour));
  out.put(':');
  out.put2(static_cast<unsigned>(f.minute));
  out.put(':');
  out.put2(static_cast<unsigned>(f.second));
  if (f.microsecond != 0) {
    out.put('.');
    out.put6(static_cast<unsigned>(f.microsecond));
  }
  if (tzinfo.get() != Py_None && !put_utc_offset(out, datetime, tzinfo.get())) {
    return StdlibFormat::failed;
  }
  return StdlibFormat::formatted;
}

// An int known to be in 0 .. 2**64 - 1, checked: OverflowError otherwise.
// unsigned long converts a digit at a time where unsigned long long goes
// through a byte array.
bool as_u64(PyObject* value, uint64_t& out) {
  if constexpr (sizeof(unsigned long) == sizeof(uint64_t)) {
    out = PyLong_AsUnsignedLong(value);
  } else {
    out = PyLong_AsUnsignedLongLong(value);
  }
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

// str() of a UUID: its 128-bit int as 32 lower-case hex digits, 8-4-4-4-12.
// Anything else in the int slot (past the constructor's check): an int
// outside 0 .. 2**128 - 1 has a text of another shape, and an object that
// is no int formats through its own __index__; str() itself makes both.
StdlibFormat format_uuid(PyObject* uuid, const DescriptorReader& int_member, StdlibText& text) {
  PyRef value = int_member.read(uuid);
  if (!value) return StdlibFormat::failed;
  if (!PyLong_Check(value.get())) return StdlibFormat::not_stdlib;
  const uint64_t low = PyLong_AsUnsignedLongLongMask(value.get());
  if (low == static_cast<uint64_t>(-1) && PyErr_Occurred()) return StdlibFormat::failed;
  // int's own >> (never an int subclass's __rshift__): the high half by the
  // number's value, as str()'s formatting reads it.
  static const auto int_rshift =
      reinterpret_cast<binaryfunc>(PyType_GetSlot(&PyLong_Type, Py_nb_rshift));
  static PyObject* const sixty_four = PyLong_FromLong(64);  // never released
  if (sixty_four == nullptr) return StdlibFormat::failed;
  PyRef high_part = PyRef::steal(int_rshift(value.get(), sixty_four));
  if (!high_part) return StdlibFormat::failed;
  uint64_t high = 0;
  if (!as_u64(high_part.get(), high)) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return StdlibFormat::failed;
    PyErr_Clear();
    return StdlibFormat::not_stdlib;
  }
  StdlibTextWriter out(text);
  out.put_uuid(high, low);
  return StdlibFormat::formatted;
}

}  // namespace

StdlibFormat format_stdlib_object(PyObject* obj, StdlibText& text) {
  PyTypeObject* type = Py_TYPE(obj);
  if (g_types.datetime == nullptr) find_datetime_types();
  if (reinterpret_cast<PyObject*>(type) == g_types.datetime) return format_datetime(obj, text);
  if (reinterpret_cast<PyObject*>(type) == g_types.date) return format_date(obj, text);
  if (const DescriptorReader* int_member = standard_uuid_int(type)) {
    return format_uuid(obj, *int_member, text);
  }
  return StdlibFormat::not_stdlib;
}

std::optional<Converted> convert_stdlib_object(PyObject* obj) {
  StdlibText text;
  switch (format_stdlib_object(obj, text)) {
    case StdlibFormat::formatted: return Value::str(std::string(text.view()));
    case StdlibFormat::failed: return Converted();
    case StdlibFormat::not_stdlib: break;
  }
  return std::nullopt;
}

}  // namespace vorlisk::py::detail
