// Worker thread states inside an embedded interpreter: the worker runs on a
// state of its own whoever started it, and every state made for it is
// deleted again.
#include <gtest/gtest.h>

#include <thread>

#include "py/dispatch/worker_thread_state.h"
#include "py/glue/gil.h"
#include "tests/native/embedded_python.h"

namespace vorlisk::py {
namespace {

using testing::eval;
using testing::exec;

// The interpreter's thread states, counted with the interpreter lock held.
long thread_states() {
  static const bool defined = exec(
      "def _thread_states():\n"
      "    import ctypes\n"
      "    api = ctypes.pythonapi\n"
      "    api.PyInterpreterState_Get.restype = ctypes.c_void_p\n"
      "    api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]\n"
      "    api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p\n"
      "    api.PyThreadState_Next.argtypes = [ctypes.c_void_p]\n"
      "    api.PyThreadState_Next.restype = ctypes.c_void_p\n"
      "    count, state = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())\n"
      "    while state:\n"
      "        count, state = count + 1, api.PyThreadState_Next(state)\n"
      "    return count\n");
  EXPECT_TRUE(defined);
  PyRef count = eval("_thread_states()");
  return count ? PyLong_AsLong(count.get()) : -1;
}

bool runs_on_its_own_state() {
  return PyGILState_GetThisThreadState() == PyThreadState_Get();
}

// Starts a worker as the dispatcher does, from the calling thread (which
// holds the interpreter lock), and waits for it with the lock released.
// The worker attaches twice and reports whether it ran on its own state.
bool start_and_join_worker(bool* handed_one) {
  HandedThreadState handed;
  EXPECT_FALSE(handed.failed());
  *handed_one = handed.get() != nullptr;
  bool own = true;
  std::thread worker([&own, state = handed.get()] {
    WorkerThreadState thread_state(state);
    for (int i = 0; i < 2; ++i) {
      if (!thread_state.attach()) return;
      own = own && runs_on_its_own_state();
      thread_state.detach();
    }
    thread_state.finish();
  });
  handed.hand_over();
  without_gil([&] { worker.join(); });
  return own;
}

TEST(WorkerThreadState, StartedFromAPythonThread) {
  const long before = thread_states();
  bool handed_one = false;
  EXPECT_TRUE(start_and_join_worker(&handed_one));
  EXPECT_TRUE(handed_one);
  EXPECT_TRUE(runs_on_its_own_state()) << "the starting thread keeps its own state";
  EXPECT_EQ(thread_states(), before);
}

TEST(WorkerThreadState, NeverAttachedStillDeletesItsState) {
  const long before = thread_states();
  {
    HandedThreadState handed;
    std::thread worker([state = handed.get()] { WorkerThreadState(state).finish(); });
    handed.hand_over();
    without_gil([&] { worker.join(); });
  }
  EXPECT_EQ(thread_states(), before);
}

TEST(WorkerThreadState, StartedFromAThreadPyGILStateDoesNotKnow) {
  const long before = thread_states();
  bool starter_unknown = false;
  bool handed_one = true;
  bool own = false;
  {
    // The starter holds the lock through a state made here, as a worker
    // does before it makes its own; this thread deletes it afterwards.
    HandedThreadState for_starter;
    without_gil([&] {
      std::thread starter([&, state = for_starter.get()] {
        PyEval_RestoreThread(state);
        starter_unknown = PyGILState_GetThisThreadState() == nullptr;
        own = start_and_join_worker(&handed_one);
        starter_unknown = starter_unknown && PyGILState_GetThisThreadState() == nullptr;
        PyEval_SaveThread();
      });
      starter.join();
    });
  }
  EXPECT_TRUE(starter_unknown);
  EXPECT_FALSE(handed_one) << "a state made there would have become the starter's";
  EXPECT_TRUE(own);
  EXPECT_EQ(thread_states(), before);
}

}  // namespace
}  // namespace vorlisk::py
