// The standard library's uuid.UUID class, recognised so that its objects
// can be formatted natively with exactly the text that converting them
// through the probes and str() gives.
//
// str() of a UUID runs its class's __str__, Python code that is trusted here
// only for what it is: the function the standard library defines,
// recognised by its bytecode, constants, names and flags against the same
// source compiled by this interpreter. A patched, replaced or look-alike
// __str__, or another module registered as "uuid", never passes. (An
// interpreter whose uuid module defines __str__ otherwise converts its
// UUIDs through str(), correctly and more slowly.)
//
// The class can be changed at any time, so every use checks, without
// running any code the class could have been given, that it still resolves
// what the conversion's probes and str() read: its bases, its name, its
// __str__, its hex property and int member, no isoformat or __members__
// (which the probes look for first), and the default attribute access (no
// __getattribute__ or __getattr__, through which str() would read
// self.int). Those objects are compared by identity only when the class
// may have changed since they last were (class_change_watch.h); otherwise
// the verdict stands. Not seen: the standard function's code replaced in
// place (`UUID.__str__.__code__ = ...`), as reading a function's code runs
// the interpreter's audit hooks.
//
// Interpreter lock held: the class found and its watch are process-wide
// state that the lock serialises.
#pragma once

#include "py/conversion/stdlib_lookup.h"
#include "py/glue/python.h"

namespace vorlisk::py::detail {

// The reader of a UUID's `int` member when `type` is the standard UUID
// class as the uuid module defined it; reading through it gives what str()
// reads, and runs no user code. Null, with no error set, for any other type
// (or when the uuid module was never imported).
const DescriptorReader* standard_uuid_int(PyTypeObject* type);

}  // namespace vorlisk::py::detail
