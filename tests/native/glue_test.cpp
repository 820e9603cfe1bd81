// The call glue inside an embedded interpreter: argument binding messages,
// conversion kinds, the panic exception, class building and deferred
// releases.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "py/conversion/text.h"
#include "py/glue/class_type.h"
#include "py/glue/deferred_release.h"
#include "py/glue/extract.h"
#include "py/glue/gil.h"
#include "py/glue/trampolines.h"
#include "tests/native/embedded_python.h"

namespace vorlisk::py {
namespace {

using testing::eval;
using testing::take_error;
using testing::take_error_notes;

// ---- binding ---------------------------------------------------------------

constexpr auto kRenderLike = function_signature(
    "render_line", {required("fields"), required("logger"), required("level"), required("service"),
                    required("message"), optional("timestamp")});
constexpr auto kMethodLike = method_signature(
    "CallableDispatcher", "add",
    {required("callback"), optional("min_level"), keyword_required("enabled"),
     keyword_optional("level_callback")});
constexpr auto kAllRequired =
    function_signature("pair", {required("first"), required("second")});
constexpr auto kKeywordOnly =
    method_signature("CallableDispatcher", "fork_child", {keyword_required("enabled")});
constexpr auto kThreeKeywords = method_signature(
    "C", "m", {keyword_required("a"), keyword_required("b"), keyword_required("c")});

// Binds `call` — "(args...)" with keywords, evaluated as a tuple and a dict —
// against `sig` the way a fast call does; returns the error text or "".
template <size_t N>
std::string bind_error(const Signature<N>& sig, const std::string& args, const std::string& kwargs) {
  PyRef tuple = eval("tuple(" + args + ")");
  PyRef dict = eval("dict(" + kwargs + ")");
  EXPECT_TRUE(tuple && dict);
  // Lay the call out as a vectorcall does: positionals, then keyword values.
  std::vector<PyObject*> stack;
  for (Py_ssize_t i = 0; i < PyTuple_Size(tuple.get()); ++i) stack.push_back(PyTuple_GetItem(tuple.get(), i));
  PyRef names = PyRef::steal(PyTuple_New(PyDict_Size(dict.get())));
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.get(), &pos, &key, &value)) {
    Py_INCREF(key);
    PyTuple_SetItem(names.get(), k++, key);
    stack.push_back(value);
  }
  PyObject* out[N == 0 ? 1 : N];
  const bool fast = bind_fastcall(sig.view(), stack.data(), PyTuple_Size(tuple.get()),
                                  k ? names.get() : nullptr, out);
  const std::string fast_error = fast ? "" : take_error();
  const bool slow = bind_tuple_and_dict(sig.view(), tuple.get(), k ? dict.get() : nullptr, out);
  const std::string slow_error = slow ? "" : take_error();
  EXPECT_EQ(fast_error, slow_error) << "fast call and constructor binding disagree";
  return fast_error;
}

struct BindCase {
  std::string args, kwargs, error;
};

TEST(Binding, RenderLikeMessages) {
  const BindCase cases[] = {
      {"[{}, 'l', 'info', 's']", "", "TypeError: render_line() missing 1 required positional argument: 'message'"},
      {"[{}, 'l', 'info']", "", "TypeError: render_line() missing 2 required positional arguments: 'service' and 'message'"},
      {"[{}, 'l']", "", "TypeError: render_line() missing 3 required positional arguments: 'level', 'service', and 'message'"},
      {"[1, 2, 3, 4, 5, 6, 7]", "", "TypeError: render_line() takes from 5 to 6 positional arguments but 7 were given"},
      {"[1, 2, 3, 4, 5]", "Timestamp=1", "TypeError: render_line() got an unexpected keyword argument 'Timestamp'"},
      {"[1, 2, 3, 4, 5]", "logger=1", "TypeError: render_line() got multiple values for argument 'logger'"},
      {"[1, 2, 3, 4, 5]", "timestamp=None", ""},
      {"[]", "fields=1, logger=2, level=3, service=4, message=5", ""},
  };
  for (const BindCase& c : cases) EXPECT_EQ(bind_error(kRenderLike, c.args, c.kwargs), c.error) << c.args << c.kwargs;
}

TEST(Binding, MethodAndKeywordOnlyMessages) {
  EXPECT_EQ(bind_error(kKeywordOnly, "[]", ""),
            "TypeError: CallableDispatcher.fork_child() missing 1 required keyword argument: 'enabled'");
  EXPECT_EQ(bind_error(kKeywordOnly, "[True]", ""),
            "TypeError: CallableDispatcher.fork_child() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(bind_error(kThreeKeywords, "[]", "b=1"),
            "TypeError: C.m() missing 2 required keyword arguments: 'a' and 'c'");
  // Positional parameters are reported before keyword-only ones.
  EXPECT_EQ(bind_error(kMethodLike, "[]", ""),
            "TypeError: CallableDispatcher.add() missing 1 required positional argument: 'callback'");
  EXPECT_EQ(bind_error(kMethodLike, "[print, 1, True]", ""),
            "TypeError: CallableDispatcher.add() takes from 1 to 2 positional arguments but 3 were given");
  EXPECT_EQ(bind_error(kAllRequired, "[1, 2, 3]", ""),
            "TypeError: pair() takes 2 positional arguments but 3 were given");
  EXPECT_EQ(bind_error(kMethodLike, "[print]", "enabled=True, level_callback=None"), "");
}

// ---- conversion kinds ------------------------------------------------------

struct Outcome {
  std::string error, notes;
};

template <class F>
Outcome convert(const std::string& expression, F&& extract) {
  PyRef obj = eval(expression);
  EXPECT_TRUE(obj) << expression << ": " << take_error();
  if (extract(obj.get())) return {};
  Outcome o{take_error(), take_error_notes()};
  return o;
}

TEST(Extract, BooleanAcceptsBoolAndNumpyBoolOnly) {
  bool value = false;
  auto as_bool = [&](PyObject* o) { return extract_bool(o, "blocking", &value); };
  EXPECT_EQ(convert("True", as_bool).error, "");
  EXPECT_TRUE(value);
  EXPECT_EQ(convert("__import__('numpy').bool_(False)", as_bool).error, "");
  EXPECT_FALSE(value);
  EXPECT_EQ(convert("__import__('numpy').True_", as_bool).error, "");
  EXPECT_TRUE(value);
  const Outcome one = convert("1", as_bool);
  EXPECT_EQ(one.error, "TypeError: 'int' object is not an instance of 'bool'");
  EXPECT_EQ(one.notes, "while processing 'blocking'");
  EXPECT_EQ(convert("None", as_bool).error, "TypeError: 'None' is not an instance of 'bool'");
  EXPECT_EQ(convert("__import__('numpy').int64(1)", as_bool).error,
            "TypeError: 'int64' object is not an instance of 'bool'");
  EXPECT_EQ(convert("type('bool_', (), {'__module__': 'numpy'})()", as_bool).error,
            "TypeError: object of type 'bool_' does not define a '__bool__' conversion");
}

TEST(Extract, TextSequence) {
  std::vector<std::string> items;
  auto as_seq = [&](PyObject* o) { return extract_text_sequence(o, "patterns", &items); };
  EXPECT_EQ(convert("('a', 'b')", as_seq).error, "");
  EXPECT_EQ(items, (std::vector<std::string>{"a", "b"}));
  const Outcome single = convert("'ab'", as_seq);
  EXPECT_EQ(single.error, "TypeError: Can't extract `str` to `Vec`");
  EXPECT_EQ(single.notes, "while processing 'patterns'");
  EXPECT_EQ(convert("5", as_seq).error, "TypeError: 'int' object is not an instance of 'Sequence'");
  EXPECT_EQ(convert("{'a': 1}", as_seq).error, "TypeError: 'dict' object is not an instance of 'Sequence'");
  EXPECT_EQ(convert("['a', 1]", as_seq).error, "TypeError: 'int' object is not an instance of 'str'");
  EXPECT_EQ(convert("['\\ud800']", as_seq).error.rfind("UnicodeEncodeError", 0), 0u);
  // A huge reported length must not be allocated up front.
  EXPECT_EQ(convert("range(10**15)", as_seq).error, "TypeError: 'int' object is not an instance of 'str'");
  ASSERT_TRUE(testing::exec(
      "class Lazy:\n"
      "    def __len__(self): return 10**15\n"
      "    def __getitem__(self, i):\n"
      "        if i < 2: return 'xy'[i]\n"
      "        raise IndexError(i)\n"));
  EXPECT_EQ(convert("Lazy()", as_seq).error, "");
  EXPECT_EQ(items, (std::vector<std::string>{"x", "y"}));
}

TEST(Extract, Numbers) {
  uint64_t u = 0;
  auto as_u64 = [&](PyObject* o) { return extract_uint64(o, "maxsize", &u); };
  EXPECT_EQ(convert("2**64 - 1", as_u64).error, "");
  EXPECT_EQ(u, UINT64_MAX);
  EXPECT_EQ(convert("-1", as_u64).error.rfind("OverflowError", 0), 0u);
  EXPECT_EQ(convert("2**64", as_u64).error.rfind("OverflowError", 0), 0u);
  const Outcome fractional = convert("1.5", as_u64);
  EXPECT_EQ(fractional.error.rfind("TypeError", 0), 0u);
  EXPECT_EQ(fractional.notes, "while processing 'maxsize'");

  double d = 0;
  auto as_double = [&](PyObject* o) { return extract_double(o, "stall_timeout", &d); };
  EXPECT_EQ(convert("3", as_double).error, "");
  EXPECT_EQ(d, 3.0);
  EXPECT_EQ(convert("'x'", as_double).notes, "while processing 'stall_timeout'");

  int64_t i = 0;
  auto as_i64 = [&](PyObject* o) { return extract_int64(o, "min_level", &i); };
  EXPECT_EQ(convert("-5", as_i64).error, "");
  EXPECT_EQ(i, -5);
  EXPECT_EQ(convert("-2**63", as_i64).error, "");
  EXPECT_EQ(i, INT64_MIN);
  EXPECT_EQ(convert("2**63 - 1", as_i64).error, "");
  EXPECT_EQ(i, INT64_MAX);
  EXPECT_EQ(convert("2**63", as_i64).error,
            "OverflowError: Python int too large to convert to C long");
  EXPECT_EQ(convert("'5'", as_i64).error.rfind("TypeError", 0), 0u);
}

TEST(Extract, ObjectKinds) {
  PyObject* out = nullptr;
  auto as_exc = [&](PyObject* o) { return extract_exception(o, "error", &out); };
  EXPECT_EQ(convert("KeyboardInterrupt()", as_exc).error, "");
  EXPECT_EQ(convert("'boom'", as_exc).error, "TypeError: 'str' object is not an instance of 'BaseException'");
  auto as_dict = [&](PyObject* o) { return extract_dict(o, "bound", &out); };
  EXPECT_EQ(convert("type('D', (dict,), {})()", as_dict).error, "");
  EXPECT_EQ(convert("None", as_dict).error, "TypeError: 'None' is not an instance of 'dict'");
  auto as_text = [&](PyObject* o) { return extract_text_object(o, "message", &out); };
  EXPECT_EQ(convert("'\\ud800'", as_text).error, "");  // repaired later, not refused
  // The qualified name of a nested class is used.
  ASSERT_TRUE(testing::exec("class Outer:\n    class Inner: pass\n"));
  EXPECT_EQ(convert("Outer.Inner()", as_text).error,
            "TypeError: 'Outer.Inner' object is not an instance of 'str'");
}

TEST(Extract, NoteIsSkippedWhenAddNoteIsMissing) {
  PyErr_SetString(PyExc_ValueError, "plain");
  add_argument_note("x");
  EXPECT_EQ(take_error(), "ValueError: plain");
  EXPECT_EQ(take_error_notes(), "while processing 'x'");
}

// ---- the panic exception ---------------------------------------------------

PyObject* failing_body(PyObject*) { throw InternalError("dictionary changed size during iteration"); }

TEST(Entry, InternalFailureBecomesThePanicException) {
  static PyMethodDef def = noargs_method<failing_body>("fail", "fail()\n--\n\n");
  PyRef function = PyRef::steal(PyCMethod_New(&def, nullptr, nullptr, nullptr));
  ASSERT_TRUE(function);
  testing::bind("fail", function.get());
  EXPECT_EQ(eval("fail()").get(), nullptr);
  EXPECT_EQ(take_error(), "PanicException: dictionary changed size during iteration");
  PyObject* type = panic_exception_type();
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  EXPECT_EQ(py_str_to_utf8(name.get()), "pyo3_runtime");
  PyRef bases = PyRef::steal(PyObject_GetAttrString(type, "__bases__"));
  ASSERT_EQ(PyTuple_Size(bases.get()), 1);
  EXPECT_EQ(PyTuple_GetItem(bases.get(), 0), PyExc_BaseException);
  EXPECT_EQ(thread_entry_count(), 0);
}

// ---- classes ---------------------------------------------------------------

std::atomic<int> g_destroyed{0};

struct Counted {
  int value = 0;
  explicit Counted(int v) : value(v) {}
  Counted(Counted&& other) noexcept : value(other.value) { other.value = -1; }
  ~Counted() {
    if (value >= 0) ++g_destroyed;
  }
};

using PlainObject = NativeObject<Counted>;
using DictObject = NativeDictObject<Counted>;

constexpr auto kPlainNewSig = method_signature("Plain", "__new__", {required("value")});
PyObject* plain_new(PyTypeObject* type, PyObject* const* args) {
  int64_t value = 0;
  if (!extract_int64(args[0], "value", &value)) return nullptr;
  return new_native_object<PlainObject>(type, Counted(static_cast<int>(value)));
}
PyObject* plain_value(PyObject* self) { return PyLong_FromLong(native_of<PlainObject>(self).value); }

PyGetSetDef g_plain_getters[] = {getter<plain_value>("value", "The value."), {}};
const ClassSpec kPlainSpec{"Plain", "Plain(value)\n--\n\nA test class.", sizeof(PlainObject),
                           nullptr, g_plain_getters, &new_trampoline<kPlainNewSig, plain_new>,
                           &native_dealloc<PlainObject>, 0, nullptr};
ClassType g_plain_type(kPlainSpec);

constexpr auto kDictNewSig = method_signature("WithDict", "__new__");
PyObject* dict_new(PyTypeObject* type, PyObject* const*) {
  return new_native_object<DictObject>(type, Counted(7));
}
const ClassSpec kDictSpec{"WithDict", "WithDict()\n--\n\n", sizeof(DictObject), nullptr, nullptr,
                          &new_trampoline<kDictNewSig, dict_new>, &native_dealloc<DictObject>,
                          kInstanceDictOffset, nullptr};
ClassType g_dict_type(kDictSpec);

const ClassSpec kHandleSpec{"Handle", "A handle.", sizeof(PlainObject), nullptr, nullptr, nullptr,
                            &native_dealloc<PlainObject>, 0, nullptr};
ClassType g_handle_type(kHandleSpec);

TEST(Classes, BehaveAsBuiltinsThatCannotBeExtended) {
  testing::bind("Plain", reinterpret_cast<PyObject*>(g_plain_type.require()));
  testing::bind("WithDict", reinterpret_cast<PyObject*>(g_dict_type.require()));
  testing::bind("Handle", reinterpret_cast<PyObject*>(g_handle_type.require()));
  const int before = g_destroyed.load();
  PyRef facts = eval(
      "(Plain.__module__, Plain.__name__, Plain.__qualname__, Plain(5).value, Plain.__text_signature__,"
      " type(Plain(1)).__module__)");
  ASSERT_TRUE(facts) << take_error();
  PyRef expected = eval("('builtins', 'Plain', 'Plain', 5, '(value)', 'builtins')");
  EXPECT_EQ(PyObject_RichCompareBool(facts.get(), expected.get(), Py_EQ), 1);
  EXPECT_EQ(g_destroyed.load(), before + 2);

  EXPECT_FALSE(eval("type('Sub', (Plain,), {})"));
  EXPECT_EQ(take_error().rfind("TypeError", 0), 0u);
  EXPECT_FALSE(testing::exec("p = Plain(1)\np.other = 2\n"));
  EXPECT_EQ(take_error().rfind("AttributeError", 0), 0u);
  EXPECT_FALSE(eval("__import__('weakref').ref(Plain(1))"));
  EXPECT_EQ(take_error().rfind("TypeError", 0), 0u);
  EXPECT_FALSE(eval("Handle()"));
  EXPECT_EQ(take_error().rfind("TypeError", 0), 0u);
  EXPECT_FALSE(eval("Plain('x')"));
  EXPECT_EQ(take_error(), "TypeError: 'str' object cannot be interpreted as an integer");

  ASSERT_TRUE(testing::exec("w = WithDict()\nw.note = 'kept'\nw.loop = w\n"));
  EXPECT_EQ(py_str_to_utf8(eval("w.note").get()), "kept");
  const int with_cycle = g_destroyed.load();
  ASSERT_TRUE(testing::exec("del w\nimport gc\ngc.collect()\n"));
  EXPECT_EQ(g_destroyed.load(), with_cycle + 1) << "a dict cycle through the instance is collected";
}

// ---- deferred releases -----------------------------------------------------

TEST(DeferredRelease, ReleasesWithoutTheLockWaitForTheNextEntry) {
  PyRef list = eval("[]");
  PyRef holder = PyRef::borrow(list.get());
  const Py_ssize_t before = Py_REFCNT(list.get());
  {
    DeferredPyRef extra = DeferredPyRef::borrow(list.get());
    without_gil([&] {
      std::thread other([moved = std::move(extra)]() mutable { DeferredPyRef gone = std::move(moved); });
      other.join();
    });
  }
  EXPECT_EQ(Py_REFCNT(list.get()), before + 1) << "still queued";
  { EntryScope entry; }
  EXPECT_EQ(Py_REFCNT(list.get()), before);
}

// ---- text ------------------------------------------------------------------

TEST(Text, SurrogatesAreRepaired) {
  EXPECT_EQ(py_str_to_utf8(eval("'a\\ud800b'").get()), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(py_str_to_utf8(eval("'\\ud83d\\ude00'").get()), "\xF0\x9F\x98\x80");
  EXPECT_EQ(py_str_to_utf8(eval("'\\udc00x'").get()), "\xEF\xBF\xBDx");
  EXPECT_EQ(py_str_to_utf8(eval("'\\ud800\\ud800\\udc00'").get()), "\xEF\xBF\xBD\xF0\x90\x80\x80");
  EXPECT_EQ(py_str_to_utf8(eval("'plain é'").get()), "plain \xC3\xA9");
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(py_type_name(reinterpret_cast<PyTypeObject*>(eval("__import__('decimal').Decimal").get())),
            "Decimal");
}

}  // namespace
}  // namespace vorlisk::py
