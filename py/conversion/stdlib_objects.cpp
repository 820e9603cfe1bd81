#include "py/conversion/stdlib_objects.h"

#include <cstdint>
#include <string>

#include "py/conversion/interned_name.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py::detail {
namespace {

InternedName g_reduce("__reduce__");
InternedName g_utcoffset("utcoffset");
InternedName g_int("int");
InternedName g_str("__str__");

// The types, looked up in sys.modules (never imported here: an object of a
// module's type cannot exist before its module was imported). Each is kept
// for the life of the process once found.
struct StdlibTypes {
  PyObject* date = nullptr;
  PyObject* datetime = nullptr;
  PyObject* timedelta = nullptr;
  PyObject* timezone = nullptr;  // datetime.timezone: a fixed offset
  PyObject* uuid = nullptr;
  PyObject* uuid_str = nullptr;  // uuid.UUID.__str__ as the module defined it
};

StdlibTypes g_types;

// The last UTC offset formatted, by the identity of the offset object (a
// fixed-offset timezone hands out the same timedelta every time) and of
// the tzinfo when that is a datetime.timezone, whose offset never depends on
// the datetime: the same timezone object then skips the utcoffset() call.
// Holds references, so neither object can be replaced by another at its
// address.
struct OffsetCache {
  PyObject* offset = nullptr;
  PyObject* timezone = nullptr;  // null unless exactly a datetime.timezone
  std::string text;
};

OffsetCache g_last_offset;

PyRef module_attribute(const char* module_name, const char* name) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* module = PyDict_GetItemString(modules, module_name);  // borrowed
  if (module == nullptr) return PyRef();
  PyRef found = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!found) PyErr_Clear();
  return found;
}

void find_datetime_types() {
  if (g_types.datetime != nullptr) return;
  PyRef date = module_attribute("datetime", "date");
  PyRef datetime = module_attribute("datetime", "datetime");
  PyRef timedelta = module_attribute("datetime", "timedelta");
  PyRef timezone = module_attribute("datetime", "timezone");
  // Immutable types only: their isoformat() can never have been replaced.
  const auto immutable_type = [](const PyRef& t) {
    return t && PyType_Check(t.get()) &&
           (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(t.get())) & Py_TPFLAGS_IMMUTABLETYPE);
  };
  if (immutable_type(date) && immutable_type(datetime) && immutable_type(timedelta) &&
      immutable_type(timezone)) {
    // Kept for the life of the process.
    g_types.date = date.release();
    g_types.datetime = datetime.release();
    g_types.timedelta = timedelta.release();
    g_types.timezone = timezone.release();
  }
}

void find_uuid_type() {
  if (g_types.uuid != nullptr) return;
  PyRef uuid = module_attribute("uuid", "UUID");
  if (!uuid || !PyType_Check(uuid.get())) return;
  PyObject* str_name = g_str.get();
  if (str_name == nullptr) {
    PyErr_Clear();
    return;
  }
  PyRef str = PyRef::steal(PyObject_GetAttr(uuid.get(), str_name));
  if (!str) {
    PyErr_Clear();
    return;
  }
  g_types.uuid_str = str.release();
  g_types.uuid = uuid.release();
}

// The UUID type's __str__ is still the one its module defined.
bool uuid_str_unchanged() {
  PyObject* str_name = g_str.get();
  if (str_name == nullptr) return false;
  PyRef str = PyRef::steal(PyObject_GetAttr(g_types.uuid, str_name));
  if (!str) {
    PyErr_Clear();
    return false;
  }
  return str.get() == g_types.uuid_str;
}

// The text of a date, time or offset, built in place: every number has a
// fixed width here (years 1 to 9999, offsets under a day).
class IsoText {
 public:
  void put(char c) { text_[size_++] = c; }
  void put_digits(unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
      text_[size_ + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
      value /= 10;
    }
    size_ += static_cast<size_t>(width);
  }
  void put(std::string_view text) {
    for (char c : text) put(c);
  }
  std::string_view view() const { return {text_, size_}; }

 private:
  // "YYYY-MM-DDTHH:MM:SS.ffffff+HH:MM:SS.ffffff" is 42 characters.
  char text_[48];
  size_t size_ = 0;
};

// The state tuple of __reduce__(): (type, (bytes, ...)); its bytes.
bool reduced_state(PyObject* obj, PyRef& reduced, const unsigned char** data, Py_ssize_t* size,
                   PyObject** extra) {
  PyObject* name = g_reduce.get();
  if (name == nullptr) return false;
  reduced = PyRef::steal(PyObject_CallMethodObjArgs(obj, name, nullptr));
  if (!reduced) return false;
  PyObject* args = PyTuple_Check(reduced.get()) && PyTuple_Size(reduced.get()) >= 2
                       ? PyTuple_GetItem(reduced.get(), 1)
                       : nullptr;
  PyObject* state = args != nullptr && PyTuple_Check(args) && PyTuple_Size(args) >= 1
                        ? PyTuple_GetItem(args, 0)
                        : nullptr;
  char* bytes = nullptr;
  if (state == nullptr || !PyBytes_Check(state) || PyBytes_AsStringAndSize(state, &bytes, size) < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "unexpected state of a date or datetime");
    return false;
  }
  *data = reinterpret_cast<const unsigned char*>(bytes);
  *extra = PyTuple_Size(args) >= 2 ? PyTuple_GetItem(args, 1) : nullptr;
  return true;
}

void put_date(IsoText& out, const unsigned char* d) {
  out.put_digits((d[0] << 8) | d[1], 4);
  out.put('-');
  out.put_digits(d[2] & 0x7F, 2);
  out.put('-');
  out.put_digits(d[3], 2);
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

// "+HH:MM", then ":SS" when there are seconds or microseconds, then
// ".ffffff" when there are microseconds; nothing for a None offset.
bool put_utc_offset(IsoText& out, PyObject* datetime, PyObject* tzinfo) {
  if (tzinfo == g_last_offset.timezone) {
    out.put(g_last_offset.text);
    return true;
  }
  PyObject* name = g_utcoffset.get();
  if (name == nullptr) return false;
  PyRef offset = PyRef::steal(PyObject_CallMethodObjArgs(datetime, name, nullptr));
  if (!offset) return false;
  if (offset.get() == Py_None) return true;
  if (offset.get() == g_last_offset.offset) {
    out.put(g_last_offset.text);
    remember_timezone(tzinfo);
    return true;
  }
  if (!PyObject_TypeCheck(offset.get(), reinterpret_cast<PyTypeObject*>(g_types.timedelta))) {
    PyErr_SetString(PyExc_TypeError, "utcoffset() did not return a timedelta");
    return false;
  }
  const size_t start = out.view().size();
  int64_t parts[3];  // days, seconds, microseconds
  const char* names[3] = {"days", "seconds", "microseconds"};
  for (int i = 0; i < 3; ++i) {
    PyRef part = PyRef::steal(PyObject_GetAttrString(offset.get(), names[i]));
    if (!part) return false;
    parts[i] = PyLong_AsLongLong(part.get());
    if (parts[i] == -1 && PyErr_Occurred()) return false;
  }
  int64_t total_us = (parts[0] * 86400 + parts[1]) * 1'000'000 + parts[2];
  char sign = '+';
  if (parts[0] < 0) {
    sign = '-';
    total_us = -total_us;
  }
  const int64_t microseconds = total_us % 1'000'000;
  int64_t seconds = total_us / 1'000'000;
  const int64_t hours = seconds / 3600;
  seconds %= 3600;
  const int64_t minutes = seconds / 60;
  seconds %= 60;
  out.put(sign);
  out.put_digits(static_cast<unsigned>(hours), 2);
  out.put(':');
  out.put_digits(static_cast<unsigned>(minutes), 2);
  if (seconds != 0 || microseconds != 0) {
    out.put(':');
    out.put_digits(static_cast<unsigned>(seconds), 2);
  }
  if (microseconds != 0) {
    out.put('.');
    out.put_digits(static_cast<unsigned>(microseconds), 6);
  }
  Py_XDECREF(g_last_offset.offset);
  g_last_offset.offset = offset.release();
  g_last_offset.text.assign(out.view().substr(start));
  remember_timezone(tzinfo);
  return true;
}

Converted date_text(PyObject* date) {
  PyRef reduced;
  const unsigned char* d = nullptr;
  Py_ssize_t size = 0;
  PyObject* extra = nullptr;
  if (!reduced_state(date, reduced, &d, &size, &extra)) return std::nullopt;
  if (size != 4) {
    PyErr_SetString(PyExc_TypeError, "unexpected state of a date");
    return std::nullopt;
  }
  IsoText text;
  put_date(text, d);
  return Value::str(std::string(text.view()));
}

Converted datetime_text(PyObject* datetime) {
  PyRef reduced;
  const unsigned char* d = nullptr;
  Py_ssize_t size = 0;
  PyObject* tzinfo = nullptr;
  if (!reduced_state(datetime, reduced, &d, &size, &tzinfo)) return std::nullopt;
  if (size != 10) {
    PyErr_SetString(PyExc_TypeError, "unexpected state of a datetime");
    return std::nullopt;
  }
  IsoText text;
  put_date(text, d);
  text.put('T');
  text.put_digits(d[4], 2);
  text.put(':');
  text.put_digits(d[5], 2);
  text.put(':');
  text.put_digits(d[6], 2);
  const unsigned micros = (d[7] << 16) | (d[8] << 8) | d[9];
  if (micros != 0) {
    text.put('.');
    text.put_digits(micros, 6);
  }
  if (tzinfo != nullptr && tzinfo != Py_None && !put_utc_offset(text, datetime, tzinfo)) {
    return std::nullopt;
  }
  return Value::str(std::string(text.view()));
}

// str() of a UUID: its 128-bit int as 32 lower-case hex digits, 8-4-4-4-12.
Converted uuid_text(PyObject* uuid) {
  PyObject* name = g_int.get();
  if (name == nullptr) return std::nullopt;
  PyRef value = PyRef::steal(PyObject_GetAttr(uuid, name));
  if (!value) return std::nullopt;
  if (!PyLong_Check(value.get())) {
    PyErr_SetString(PyExc_TypeError, "UUID.int is not an int");
    return std::nullopt;
  }
  const unsigned long long low = PyLong_AsUnsignedLongLongMask(value.get());
  if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!shift) return std::nullopt;
  PyRef high_part = PyRef::steal(PyNumber_Rshift(value.get(), shift.get()));
  if (!high_part) return std::nullopt;
  const unsigned long long high = PyLong_AsUnsignedLongLong(high_part.get());
  if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  int pos = 0;
  for (int nibble = 31; nibble >= 0; --nibble) {
    const unsigned long long word = nibble >= 16 ? high : low;
    text[pos++] = kHex[(word >> (4 * (nibble % 16))) & 0xF];
    if (nibble == 24 || nibble == 20 || nibble == 16 || nibble == 12) text[pos++] = '-';
  }
  return Value::str(std::string(text, 36));
}

}  // namespace

std::optional<Converted> convert_stdlib_object(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  find_datetime_types();
  if (type == g_types.datetime) return datetime_text(obj);
  if (type == g_types.date) return date_text(obj);
  find_uuid_type();
  if (type == g_types.uuid && uuid_str_unchanged()) return uuid_text(obj);
  return std::nullopt;
}

}  // namespace vorlisk::py::detail
