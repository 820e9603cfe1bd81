#include "py/conversion/uuid_class.h"

#include <optional>
#include <utility>

#include "py/conversion/class_change_watch.h"
#include "py/conversion/interned_name.h"
#include "py/conversion/stdlib_lookup.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py::detail {
namespace {

// UUID.__str__ as the standard library defines it (Python 3.11 to 3.13).
constexpr const char kStandardStr[] =
    "def __str__(self):\n"
    "    hex = '%032x' % self.int\n"
    "    return '%s-%s-%s-%s-%s' % (\n"
    "        hex[:8], hex[8:12], hex[12:16], hex[16:20], hex[20:])\n";

// What makes two code objects run alike (line numbers and names aside).
constexpr const char* kCodeParts[] = {"co_code",     "co_consts",          "co_names",
                                      "co_flags",    "co_argcount",        "co_posonlyargcount",
                                      "co_kwonlyargcount"};

InternedName g_uuid_module("uuid");
InternedName g_str("__str__");
InternedName g_hex("hex");
InternedName g_int("int");
InternedName g_isoformat("isoformat");
InternedName g_members("__members__");

// The standard class and what it resolved when it was found. Set whole,
// once, and kept for the life of the process (never released: held
// objects keep their addresses from being reused).
struct UuidClass {
  PyObject* type = nullptr;
  PyObject* bases = nullptr;  // (object,): its __mro__ is (UUID, object)
  PyObject* name = nullptr;   // "UUID"
  PyObject* dict = nullptr;   // the dict of its own names, behind its __dict__ view
  PyObject* str = nullptr;    // its __str__, the standard function
  PyObject* hex = nullptr;    // its hex property
  DescriptorReader int_member;  // its int slot
  // The names looked up on every use (interned, never released).
  PyObject* str_key = nullptr;
  PyObject* hex_key = nullptr;
  PyObject* int_key = nullptr;
  PyObject* isoformat_key = nullptr;
  PyObject* members_key = nullptr;
  // Tells that none of the above can have changed since they were last
  // compared (class_change_watch.h).
  ClassChangeWatch watch;
};

UuidClass g_uuid;

// The last module registered as "uuid" that was examined and refused, so
// that it is not examined again on every call. Held by a strong reference.
PyObject* g_refused_module = nullptr;

PyRef attribute(PyObject* obj, const char* name) {
  return PyRef::steal(PyObject_GetAttrString(obj, name));
}

// The dict of a class's own names (the dict its __dict__ is a view of:
// type's instances keep it at type's dict offset), or null.
PyRef own_names(PyObject* type) {
  PyRef dict = PyRef::steal(PyObject_GenericGetDict(type, nullptr));
  if (dict && !PyDict_CheckExact(dict.get())) return PyRef();
  return dict;
}

// An entry of a class's own names, borrowed; null, with no error set, when
// absent. Looking it up runs no user code: a class's names are exact str.
PyObject* own_entry(PyObject* dict, PyObject* key) {
  PyObject* entry = PyDict_GetItemWithError(dict, key);
  if (entry == nullptr) PyErr_Clear();
  return entry;
}

// The type of a slot's member descriptor, whose __get__ reads the slot and
// nothing else.
PyTypeObject* member_descriptor_type() {
  PyRef dict = attribute(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__");
  if (!dict) return nullptr;
  PyRef member = PyRef::steal(PyMapping_GetItemString(dict.get(), "__basicsize__"));
  return member ? Py_TYPE(member.get()) : nullptr;
}

// Whether attribute access on the class's objects is the default one:
// str() reads self.int through the class's own __getattribute__, or its
// __getattr__ when the slot is unset, when it has either (then the type's
// attribute slot is no longer the generic one).
bool default_attribute_access(PyTypeObject* type) {
  return PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(&PyObject_GenericGetAttr);
}

// The standard __str__'s code as this interpreter compiles it, with the
// type of the function made from it.
struct StandardStr {
  PyRef code;
  PyTypeObject* function_type = nullptr;
};

std::optional<StandardStr> compile_standard_str() {
  PyRef module_code = PyRef::steal(Py_CompileString(kStandardStr, "<uuid>", Py_file_input));
  if (!module_code) return std::nullopt;
  PyRef names = PyRef::steal(PyDict_New());
  if (!names) return std::nullopt;
  PyRef ran = PyRef::steal(PyEval_EvalCode(module_code.get(), names.get(), names.get()));
  if (!ran) return std::nullopt;
  PyRef function = PyRef::borrow(PyDict_GetItemString(names.get(), "__str__"));
  if (!function) return std::nullopt;
  StandardStr standard{attribute(function.get(), "__code__"), Py_TYPE(function.get())};
  if (!standard.code) return std::nullopt;
  return standard;
}

bool same_code(PyObject* code, PyObject* standard) {
  for (const char* part : kCodeParts) {
    PyRef mine = attribute(code, part);
    PyRef theirs = attribute(standard, part);
    if (!mine || !theirs || PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ) != 1) {
      return false;
    }
  }
  return true;
}

// Examines the class `module` names UUID. True when it is the standard
// class in its own state; its state is then set in g_uuid, unless a call
// made meanwhile (user code may run while a module is examined) already
// set it. May leave an error set.
bool examine(PyObject* module) {
  PyRef type = attribute(module, "UUID");
  if (!type || !PyType_Check(type.get())) return false;
  auto* const type_object = reinterpret_cast<PyTypeObject*>(type.get());
  // The standard metaclass, which no class can change: the probes' lookups
  // on the class run nothing of a metaclass's own.
  if (Py_TYPE(type.get()) != &PyType_Type || !default_attribute_access(type_object)) return false;
  PyRef mro = attribute(type.get(), "__mro__");
  if (!mro || !PyTuple_Check(mro.get()) || PyTuple_Size(mro.get()) != 2 ||
      PyTuple_GetItem(mro.get(), 0) != type.get() ||
      PyTuple_GetItem(mro.get(), 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
    return false;
  }
  PyRef bases = PyRef::borrow(static_cast<PyObject*>(PyType_GetSlot(type_object, Py_tp_bases)));
  PyRef name = PyRef::steal(PyType_GetName(type_object));
  if (!bases || !name || PyUnicode_CompareWithASCIIString(name.get(), "UUID") != 0) return false;
  PyRef dict = own_names(type.get());
  if (!dict) return false;
  PyObject* const keys[] = {g_str.get(), g_hex.get(), g_int.get(), g_isoformat.get(),
                            g_members.get()};
  for (PyObject* key : keys) {
    if (key == nullptr) return false;
  }
  PyRef str = PyRef::borrow(own_entry(dict.get(), keys[0]));
  PyRef hex = PyRef::borrow(own_entry(dict.get(), keys[1]));
  PyRef member = PyRef::borrow(own_entry(dict.get(), keys[2]));
  if (!str || !hex || !member || Py_TYPE(hex.get()) != &PyProperty_Type) return false;
  PyTypeObject* member_type = member_descriptor_type();
  if (member_type == nullptr || Py_TYPE(member.get()) != member_type) return false;
  std::optional<StandardStr> standard = compile_standard_str();
  if (!standard || Py_TYPE(str.get()) != standard->function_type) return false;
  PyRef code = attribute(str.get(), "__code__");
  if (!code || !same_code(code.get(), standard->code.get())) return false;
  ClassChangeWatch watch = ClassChangeWatch::of(type_object);

  if (g_uuid.type == nullptr) {
    const auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(member_type, Py_tp_descr_get));
    g_uuid.int_member = DescriptorReader(FoundDescriptor{std::move(member), get});
    g_uuid.bases = bases.release();
    g_uuid.name = name.release();
    g_uuid.dict = dict.release();
    g_uuid.str = str.release();
    g_uuid.hex = hex.release();
    g_uuid.str_key = keys[0];
    g_uuid.hex_key = keys[1];
    g_uuid.int_key = keys[2];
    g_uuid.isoformat_key = keys[3];
    g_uuid.members_key = keys[4];
    g_uuid.watch = watch;
    g_uuid.type = type.release();
  }
  return true;
}

// Finds the standard class once the uuid module is imported. A module that
// is refused is remembered, and examined again only when another takes its
// place.
void find_standard_uuid() {
  const PyRef module = imported_module(g_uuid_module);
  if (!module || module.get() == g_refused_module) return;
  if (examine(module.get())) return;
  PyErr_Clear();
  // Set before the module it replaces is released, which may run user code.
  const PyRef previous = PyRef::steal(std::exchange(g_refused_module, Py_NewRef(module.get())));
}

// The class still resolves what it did when it was found, with the
// default attribute access. With its bases unchanged (and so its __mro__:
// the class and object, which cannot change), its own names decide every
// name the probes and str() read. The checks read the type's fields and its
// dict: nothing the class could have been given runs, and no audit hook is
// asked. (The standard function's code could still be replaced in place,
// `__str__.__code__ = ...`; reading it on every use would run audit hooks,
// so that alone is not seen.)
bool unchanged() {
  const UuidClass& c = g_uuid;
  auto* const type = reinterpret_cast<PyTypeObject*>(c.type);
  if (PyType_GetSlot(type, Py_tp_bases) != c.bases || !default_attribute_access(type)) {
    return false;
  }
  const PyRef name = PyRef::steal(PyType_GetName(type));
  if (name.get() != c.name) {
    PyErr_Clear();
    return false;
  }
  return own_entry(c.dict, c.str_key) == c.str && own_entry(c.dict, c.hex_key) == c.hex &&
         own_entry(c.dict, c.int_key) == c.int_member.descriptor() &&
         own_entry(c.dict, c.isoformat_key) == nullptr &&
         own_entry(c.dict, c.members_key) == nullptr;
}

}  // namespace

const DescriptorReader* standard_uuid_int(PyTypeObject* type) {
  if (g_uuid.type == nullptr) find_standard_uuid();
  if (reinterpret_cast<PyObject*>(type) != g_uuid.type) return nullptr;
  if (!g_uuid.watch.unchanged()) {
    if (!unchanged()) return nullptr;
    // Its int is the member descriptor just compared: looking it up runs
    // no code.
    g_uuid.watch.arm(g_uuid.int_key);
  }
  return &g_uuid.int_member;
}

}  // namespace vorlisk::py::detail
