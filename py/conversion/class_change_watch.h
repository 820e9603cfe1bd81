// A witness, read in a few instructions, that a class has not been changed
// since it was last examined, so that a verdict drawn from the class's
// contents need not be drawn again on every use.
//
// The witness is a private subclass of the class. The interpreter keeps a
// cache of attribute lookups per class, marked valid by a flag on the class
// and on each subclass that was looked up since: a lookup on the subclass
// marks the subclass and its bases valid, and every change of a class
// (setting or deleting an attribute, its bases, its name) clears the flag
// of the class and of every subclass marked valid. Lookups on the class
// itself never mark the subclass. So while the subclass's flag is set,
// nothing was changed on the class since the lookup that set it; only
// this watch looks anything up on the subclass.
//
// Not seen, as by the interpreter's own cache: the class's dict changed
// without going through the class (through gc.get_referents, say).
//
// Only on interpreters known to keep the flag this way (3.11 and 3.12;
// 3.13 no longer sets it). Elsewhere, or when the subclass cannot be made,
// the watch never says unchanged, and every use examines the class.
//
// Interpreter lock held.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py::detail {

class ClassChangeWatch {
 public:
  // No watch: never says unchanged.
  ClassChangeWatch() = default;

  // A watch of `type`, which must have the standard metaclass and allow
  // subclasses. Makes the subclass without running any code of `type` (no
  // __init_subclass__), though making it may run a collection. No error is
  // left set.
  static ClassChangeWatch of(PyTypeObject* type);

  // Whether the class has certainly not been changed since the last arm().
  bool unchanged() const {
    return witness_ != nullptr &&
           (PyType_GetFlags(witness_) & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
  }

  // Marks the class's present state as the one examined. `name` must
  // resolve on the class to an attribute whose lookup runs no code (a
  // member descriptor, say): it is looked up on the subclass. No error is
  // left set.
  void arm(PyObject* name);

 private:
  explicit ClassChangeWatch(PyTypeObject* witness) : witness_(witness) {}

  PyTypeObject* witness_ = nullptr;  // kept for the life of the process
};

}  // namespace vorlisk::py::detail
