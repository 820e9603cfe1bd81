// Argument descriptors and binding.
//
// Every Python-visible callable declares its parameters once, as a
// Signature; the wrappers bind a call's positional and keyword arguments to
// them by name with the interpreter's usual rules and these messages:
//   "f() takes 2 positional arguments but 3 were given"
//   "f() takes from 1 to 3 positional arguments but 4 were given"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for argument 'x'"
//   "f() missing 2 required positional arguments: 'a' and 'b'"
//   "C.m() missing 1 required keyword argument: 'enabled'"
// A module function is named "f()", a method or constructor "Class.f()"
// ("Class.__new__()").
//
// Binding leaves a borrowed reference per parameter, or null for one that was
// not passed; bodies treat null like an explicit None where the default is
// None.
#pragma once

#include <array>
#include <cstddef>

#include "py/glue/python.h"

namespace vorlisk::py {

struct Param {
  const char* name;
  bool required;
  bool keyword_only;
};

constexpr Param required(const char* name) { return {name, true, false}; }
constexpr Param optional(const char* name) { return {name, false, false}; }
constexpr Param keyword_required(const char* name) { return {name, true, true}; }
constexpr Param keyword_optional(const char* name) { return {name, false, true}; }

struct SignatureView {
  const char* function;
  const char* owner;  // class name, or null for a module function
  const Param* params;
  size_t count;
};

template <size_t N>
struct Signature {
  const char* function;
  const char* owner;
  std::array<Param, N> params;

  static constexpr size_t size() { return N; }
  constexpr SignatureView view() const { return {function, owner, params.data(), N}; }
};

template <size_t N>
constexpr Signature<N> function_signature(const char* name, const Param (&params)[N]) {
  Signature<N> sig{name, nullptr, {}};
  for (size_t i = 0; i < N; ++i) sig.params[i] = params[i];
  return sig;
}

template <size_t N>
constexpr Signature<N> method_signature(const char* owner, const char* name,
                                        const Param (&params)[N]) {
  Signature<N> sig{name, owner, {}};
  for (size_t i = 0; i < N; ++i) sig.params[i] = params[i];
  return sig;
}

constexpr Signature<0> method_signature(const char* owner, const char* name) {
  return {name, owner, {}};
}

// Binds a METH_FASTCALL | METH_KEYWORDS call. `out` has one slot per
// parameter. Returns false with TypeError set.
bool bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// Binds a constructor call (argument tuple, keyword dict or null).
bool bind_tuple_and_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs,
                         PyObject** out);

}  // namespace vorlisk::py
