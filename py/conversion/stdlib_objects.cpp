#include "py/conversion/stdlib_objects.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "py/conversion/interned_name.h"
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
InternedName g_uuid_module("uuid");
InternedName g_utcoffset("utcoffset");
InternedName g_days("days");
InternedName g_seconds("seconds");
InternedName g_microseconds("microseconds");
InternedName g_int("int");
InternedName g_str("__str__");

// One attribute of the datetime types (year, hour, tzinfo, ...): a data
// descriptor of an immutable type whose instances have no __dict__, so
// attribute access on an instance always ends in this descriptor's __get__;
// calling that slot directly skips only the lookup.
struct FieldReader {
  PyObject* descriptor = nullptr;
  descrgetfunc get = nullptr;

  bool find(PyObject* type, const char* name) {
    PyRef found = PyRef::steal(PyObject_GetAttrString(type, name));
    if (!found) {
      PyErr_Clear();
      return false;
    }
    PyTypeObject* kind = Py_TYPE(found.get());
    get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get));
    if (get == nullptr || PyType_GetSlot(kind, Py_tp_descr_set) == nullptr) return false;
    Py_XDECREF(descriptor);
    descriptor = found.release();  // kept for the life of the process
    return true;
  }
  PyRef read(PyObject* obj) const {
    return PyRef::steal(get(descriptor, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  }
};

enum Field { kYear, kMonth, kDay, kHour, kMinute, kSecond, kMicrosecond, kTzinfo, kFieldCount };

// The types, looked up in sys.modules (never imported here: an object of a
// module's type cannot exist before its module was imported), with what
// reading their objects needs. Kept for the life of the process once found;
// the interpreter lock guards them.
struct StdlibTypes {
  PyObject* date = nullptr;
  PyObject* datetime = nullptr;
  PyObject* timedelta = nullptr;
  PyObject* timezone = nullptr;  // datetime.timezone: a fixed offset
  FieldReader fields[kFieldCount];
  PyObject* uuid = nullptr;
  PyObject* uuid_str = nullptr;  // uuid.UUID.__str__ as the module defined it
  // int's own >> and the count 64: a UUID's high half, taken by its numeric
  // value as str() formats it (never through an int subclass's __rshift__).
  binaryfunc int_rshift = nullptr;
  PyObject* sixty_four = nullptr;
};

StdlibTypes g_types;

// The last UTC offset formatted, by the identity of the offset object (a
// fixed-offset timezone hands out the same timedelta every time) and of
// the tzinfo when that is a datetime.timezone, whose offset never depends on
// the datetime: the same timezone object then skips the utcoffset() call.
// Holds references, so neither object can be replaced by another at its
// address. The interpreter lock guards it.
struct OffsetCache {
  PyObject* offset = nullptr;
  PyObject* timezone = nullptr;  // null unless exactly a datetime.timezone
  char text[16] = {};            // "+HH:MM:SS.ffffff" at most
  size_t size = 0;
};

OffsetCache g_last_offset;

// Borrowed; null (no error set) when the module was never imported.
PyObject* imported_module(InternedName& name) {
  PyObject* name_object = name.get();
  PyObject* module = name_object != nullptr
                         ? PyDict_GetItemWithError(PyImport_GetModuleDict(), name_object)
                         : nullptr;
  if (module == nullptr) PyErr_Clear();
  return module;
}

PyRef module_attribute(PyObject* module, const char* name) {
  PyRef found = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!found) PyErr_Clear();
  return found;
}

void find_datetime_types() {
  if (g_types.datetime != nullptr) return;
  PyObject* module = imported_module(g_datetime_module);
  if (module == nullptr) return;
  PyRef date = module_attribute(module, "date");
  PyRef datetime = module_attribute(module, "datetime");
  PyRef timedelta = module_attribute(module, "timedelta");
  PyRef timezone = module_attribute(module, "timezone");
  // Immutable types only: neither their isoformat() nor their attributes
  // can ever have been replaced.
  const auto immutable_type = [](const PyRef& t) {
    return t && PyType_Check(t.get()) &&
           (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(t.get())) & Py_TPFLAGS_IMMUTABLETYPE);
  };
  if (!immutable_type(date) || !immutable_type(datetime) || !immutable_type(timedelta) ||
      !immutable_type(timezone)) {
    return;
  }
  // The date's own fields serve datetimes too (a datetime is a date).
  static constexpr const char* kNames[kFieldCount] = {
      "year", "month", "day", "hour", "minute", "second", "microsecond", "tzinfo"};
  for (int i = 0; i < kFieldCount; ++i) {
    if (!g_types.fields[i].find(i <= kDay ? date.get() : datetime.get(), kNames[i])) return;
  }
  g_types.date = date.release();
  g_types.datetime = datetime.release();
  g_types.timedelta = timedelta.release();
  g_types.timezone = timezone.release();
}

void find_uuid_type() {
  if (g_types.uuid != nullptr) return;
  PyObject* module = imported_module(g_uuid_module);
  if (module == nullptr) return;
  PyRef uuid = module_attribute(module, "UUID");
  if (!uuid || !PyType_Check(uuid.get())) return;
  PyObject* str_name = g_str.get();
  PyRef str = PyRef::steal(str_name != nullptr ? PyObject_GetAttr(uuid.get(), str_name) : nullptr);
  PyRef sixty_four = PyRef::steal(PyLong_FromLong(64));
  const auto int_rshift = reinterpret_cast<binaryfunc>(PyType_GetSlot(&PyLong_Type, Py_nb_rshift));
  if (!str || !sixty_four || int_rshift == nullptr) {
    PyErr_Clear();
    return;
  }
  g_types.int_rshift = int_rshift;
  g_types.sixty_four = sixty_four.release();
  g_types.uuid_str = str.release();
  g_types.uuid = uuid.release();
}

// The UUID type's __str__ is still the one its module defined. Looked up
// on every call: a class attribute can be replaced at any time.
bool uuid_str_unchanged() {
  PyObject* str_name = g_str.get();
  PyRef str =
      PyRef::steal(str_name != nullptr ? PyObject_GetAttr(g_types.uuid, str_name) : nullptr);
  if (!str) {
    PyErr_Clear();
    return false;
  }
  return str.get() == g_types.uuid_str;
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

// Ties the cached offset text to `tzinfo` when it is a datetime.timezone.
void remember_timezone(PyObject* tzinfo) {
  PyObject* timezone =
      reinterpret_cast<PyObject*>(Py_TYPE(tzinfo)) == g_types.timezone ? tzinfo : nullptr;
  if (timezone == g_last_offset.timezone) return;
  Py_XINCREF(timezone);
  PyObject* previous = g_last_offset.timezone;
  g_last_offset.timezone = timezone;
  Py_XDECREF(previous);
}

bool timedelta_part(PyObject* offset, InternedName& name, int64_t& part) {
  PyObject* name_object = name.get();
  if (name_object == nullptr) return false;
  PyRef value = PyRef::steal(PyObject_GetAttr(offset, name_object));
  if (!value) return false;
  part = PyLong_AsLongLong(value.get());
  return !(part == -1 && PyErr_Occurred());
}

// "+HH:MM", then ":SS" when there are seconds or microseconds, then
// ".ffffff" when there are microseconds; nothing for a None offset.
bool put_utc_offset(StdlibTextWriter& out, PyObject* datetime, PyObject* tzinfo) {
  if (tzinfo == g_last_offset.timezone) {
    out.put16(g_last_offset.text, g_last_offset.size);
    return true;
  }
  PyObject* name = g_utcoffset.get();
  if (name == nullptr) return false;
  PyRef offset = PyRef::steal(PyObject_CallMethodObjArgs(datetime, name, nullptr));
  if (!offset) return false;
  if (offset.get() == Py_None) return true;
  if (offset.get() == g_last_offset.offset) {
    out.put16(g_last_offset.text, g_last_offset.size);
    remember_timezone(tzinfo);
    return true;
  }
  if (!PyObject_TypeCheck(offset.get(), reinterpret_cast<PyTypeObject*>(g_types.timedelta))) {
    PyErr_SetString(PyExc_TypeError, "utcoffset() did not return a timedelta");
    return false;
  }
  int64_t days = 0;
  int64_t seconds = 0;
  int64_t microseconds = 0;
  if (!timedelta_part(offset.get(), g_days, days) ||
      !timedelta_part(offset.get(), g_seconds, seconds) ||
      !timedelta_part(offset.get(), g_microseconds, microseconds)) {
    return false;
  }
  int64_t total = (days * 86400 + seconds) * 1'000'000 + microseconds;
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
  Py_XDECREF(g_last_offset.offset);
  g_last_offset.offset = offset.release();
  g_last_offset.size = out.size() - start;
  std::memcpy(g_last_offset.text, out.data() + start, g_last_offset.size);
  remember_timezone(tzinfo);
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
// An int outside 0 .. 2**128 - 1 (set around the constructor's check) has a
// text of another shape: str() itself makes it.
StdlibFormat format_uuid(PyObject* uuid, StdlibText& text) {
  PyObject* name = g_int.get();
  if (name == nullptr) return StdlibFormat::failed;
  PyRef value = PyRef::steal(PyObject_GetAttr(uuid, name));
  if (!value) return StdlibFormat::failed;
  if (!PyLong_Check(value.get())) {
    PyErr_SetString(PyExc_TypeError, "UUID.int is not an int");
    return StdlibFormat::failed;
  }
  const uint64_t low = PyLong_AsUnsignedLongLongMask(value.get());
  if (low == static_cast<uint64_t>(-1) && PyErr_Occurred()) return StdlibFormat::failed;
  PyRef high_part = PyRef::steal(g_types.int_rshift(value.get(), g_types.sixty_four));
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
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  find_datetime_types();
  if (type == g_types.datetime) return format_datetime(obj, text);
  if (type == g_types.date) return format_date(obj, text);
  find_uuid_type();
  if (type == g_types.uuid && uuid_str_unchanged()) return format_uuid(obj, text);
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
