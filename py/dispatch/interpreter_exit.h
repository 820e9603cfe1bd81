// Whether the interpreter has begun finalizing, asked without the
// interpreter lock.
//
// A native thread that takes the interpreter lock once finalization has
// begun never comes back (3.11 to 3.13 end it with pthread_exit, later
// versions park it), so workers ask before every attach. The limited API of
// 3.11 has no such query: the interpreter's own function is looked up at run
// time (Py_IsFinalizing from 3.13 on, _Py_IsFinalizing before), in the same
// process-wide symbol scope that every other Python symbol of the extension
// resolves in. Where neither exists the answer is always false, and a thread
// ended by the interpreter unwinds through the workers, which let it pass.
#pragma once

namespace vorlisk::py {

bool interpreter_finalizing();

}  // namespace vorlisk::py
