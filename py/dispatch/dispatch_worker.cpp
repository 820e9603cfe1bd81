#include "py/dispatch/dispatch_worker.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "core/base/fork_guard.h"
#include "py/conversion/text.h"
#include "py/dispatch/callback_depth.h"
#include "py/dispatch/warn.h"
#include "py/dispatch/worker_thread_state.h"
#include "py/glue/deferred_release.h"
#include "py/glue/entry.h"
#include "py/glue/python.h"

// Python references on this thread are held raw and released in ordinary
// code, never by destructors: the interpreter may end the thread (forced
// unwinding) wherever Python code runs, and the unwinding must neither run
// Python code nor pass through a destructor. For the same reason the thread's
// entry count stays 0, so that native state released here (sink lists,
// snapshots, the dispatcher itself) queues its Python references instead of
// releasing them; the worker applies that queue itself after every record.

namespace vorlisk::py {
namespace {

// Runs however the thread ends, forced unwinding included: newer
// generations stop waiting for this one, and drains learn that it is over.
class WorkerExit {
 public:
  explicit WorkerExit(QueueGeneration& generation) : generation_(generation) {}
  ~WorkerExit() {
    retire_generation_id(*generation_.tracker, generation_.id);
    std::lock_guard<std::mutex> lock(generation_.lock);
    generation_.worker_exited = true;
    generation_.progress.notify_all();
  }

 private:
  QueueGeneration& generation_;
};

std::string exception_type_name(PyObject* type) {
  if (type != nullptr && PyType_Check(type)) {
    if (PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type))) {
      PyObject* text = PyObject_Str(name);
      Py_DECREF(name);
      if (text != nullptr) {
        std::string utf8 = py_str_to_utf8(text);
        Py_DECREF(text);
        return utf8;
      }
    }
    PyErr_Clear();
  }
  return "BaseException";
}

std::string decimal(uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

class Worker {
 public:
  Worker(std::weak_ptr<DispatcherState> state, QueueGeneration& generation)
      : state_(std::move(state)), generation_(generation), fork_count_(fork_count()) {
    batch_.reserve(kDeliveryBatch);
  }

  // Waits for records; false when the generation is over for this worker.
  bool wait_for_records() {
    std::unique_lock<std::mutex> lock(generation_.lock);
    while (generation_.records.empty()) {
      // An admitted producer may still push into a retired generation.
      if ((!generation_.accepting && generation_.producers_in_progress == 0) ||
          generation_.abandoned) {
        return false;
      }
      generation_.work.wait(lock);
    }
    return true;
  }

  bool abandoned() {
    std::lock_guard<std::mutex> lock(generation_.lock);
    return generation_.abandoned;
  }

  // Batch after batch with the interpreter lock held, until the queue is
  // found empty or the generation abandoned. False when Python code run
  // here (a sink, most likely) forked and this thread went on in the child:
  // the parent delivers what is queued, and this thread, the child's only
  // one, ends there as a Python thread would.
  bool deliver_queued() {
    while (take_batch()) {
      for (size_t i = 0; i < batch_.size(); ++i) {
        const bool here = deliver(batch_[i]);
        { DeliveryRecord done = std::move(batch_[i]); }
        if (!here) return leave_batch();
        const bool gave_up = complete_record();
        drain_deferred_releases();
        if (forked_away()) return leave_batch();
        if (gave_up) {
          release_undelivered(i + 1);
          break;
        }
      }
      batch_.clear();
      drain_deferred_releases();
    }
    return !forked_away();
  }

 private:
  // Whether this thread runs in a child forked since the worker started.
  bool forked_away() const { return fork_count() != fork_count_; }

  // In a forked child: the rest of the batch is the parent's to deliver.
  bool leave_batch() {
    batch_.clear();
    drain_deferred_releases();
    return false;
  }

  bool take_batch() {
    std::lock_guard<std::mutex> lock(generation_.lock);
    const size_t queued = generation_.records.size();
    if (queued == 0 || generation_.abandoned) return false;
    const size_t take = std::min(queued, kDeliveryBatch);
    for (size_t i = 0; i < take; ++i) {
      batch_.push_back(std::move(generation_.records.front()));
      generation_.records.pop_front();
    }
    // Blocked producers may now find room.
    if (generation_.producers_in_progress != 0) generation_.progress.notify_all();
    return true;
  }

  // Counts one record delivered; true when the generation was abandoned.
  bool complete_record() {
    std::lock_guard<std::mutex> lock(generation_.lock);
    ++generation_.delivered;
    --generation_.unfinished;
    if (generation_.unfinished == 0) generation_.progress.notify_all();
    note_delivered(generation_);
    return generation_.abandoned;
  }

  // An abandoned generation's remaining records reach no sink; their
  // reservations are given back.
  void release_undelivered(size_t from) {
    for (size_t i = from; i < batch_.size(); ++i) {
      if (std::shared_ptr<DispatcherState> state = state_.lock()) {
        run_deferred_finalizers(*state, *batch_[i].sinks);
        state.reset();
      }
      { DeliveryRecord dropped = std::move(batch_[i]); }
      drain_deferred_releases();
    }
  }

  // False when this thread finds itself in a forked child (see
  // deliver_queued): the record's reservations are the parent's.
  bool deliver(const DeliveryRecord& record) {
    std::shared_ptr<DispatcherState> state = state_.lock();
    bool here = true;
    PyObject* line =
        PyUnicode_FromStringAndSize(record.line.data(), static_cast<Py_ssize_t>(record.line.size()));
    if (line == nullptr) {
      PyErr_Clear();  // no memory for the call: the record reaches no sink
    } else {
      here = call_sinks(state.get(), record, line);
      Py_DECREF(line);
    }
    if (here && state) run_deferred_finalizers(*state, *record.sinks);
    state.reset();
    return here && !forked_away();
  }

  // False when a sink forked and this is the child: no further sink is
  // called there. (In the child the generation is abandoned, which stops
  // the loop too should the fork come from anywhere else.)
  bool call_sinks(DispatcherState* state, const DeliveryRecord& record, PyObject* line) {
    bool here = true;
    PyObject* line_args = nullptr;   // (line,)
    PyObject* level_args = nullptr;  // (line, level)
    for (const SinkEntry& sink : record.sinks->entries) {
      if (generation_.stop_delivery.load(std::memory_order_acquire)) break;
      PyObject* callable;
      PyObject* args;
      if (sink.level_callback) {
        if (level_args == nullptr) level_args = Py_BuildValue("(OL)", line, record.level);
        callable = sink.level_callback.get();
        args = level_args;
      } else {
        if (line_args == nullptr) line_args = PyTuple_Pack(1, line);
        callable = sink.callback.get();
        args = line_args;
      }
      if (args == nullptr) {
        PyErr_Clear();
        continue;
      }
      PyObject* result = PyObject_Call(callable, args, nullptr);
      if (forked_away()) {
        end_call_in_forked_child(state, result);
        here = false;
        break;
      }
      if (result != nullptr) {
        Py_DECREF(result);
      } else {
        report_sink_error(state);
      }
    }
    Py_XDECREF(line_args);
    Py_XDECREF(level_args);
    return here;
  }

  // The sink forked and returned in the child, where this thread is all
  // there is. A Python thread ends there when its function returns: quietly
  // on SystemExit (the process then exits with status 0 once its last
  // thread has ended), after reporting any other exception.
  void end_call_in_forked_child(DispatcherState* state, PyObject* result) {
    if (result != nullptr) {
      Py_DECREF(result);
    } else if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
      PyErr_Clear();
    } else {
      report_sink_error(state);
    }
  }

  // Counts a sink's exception and warns at the first and every thousandth;
  // the exception itself is discarded.
  void report_sink_error(DispatcherState* state) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (state != nullptr) {
      const uint64_t count = state->error_count.fetch_add(1, std::memory_order_relaxed) + 1;
      if (count == 1 || count % 1000 == 0) {
        warn("vorlisk callable sink raised " + decimal(count) + " time(s), latest " +
                 exception_type_name(type),
             1);
      }
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }

  std::weak_ptr<DispatcherState> state_;
  QueueGeneration& generation_;
  std::vector<DeliveryRecord> batch_;
  const uint64_t fork_count_;  // of the process that started the worker
};

}  // namespace

void dispatch_worker_loop(std::weak_ptr<DispatcherState> state,
                          std::shared_ptr<QueueGeneration> generation,
                          PyThreadState* handed_thread_state) {
  mark_dispatch_worker_thread();
  thread_entry_count() = 0;
  WorkerExit exit(*generation);
  WorkerThreadState thread_state(handed_thread_state);
  {
    Worker worker(std::move(state), *generation);
    bool had_turn = false;
    while (worker.wait_for_records()) {
      // Older generations deliver first; the turn is awaited once.
      if (!had_turn) wait_for_turn(*generation->tracker, generation->id);
      if (worker.abandoned()) break;
      if (!thread_state.attach()) break;
      const bool here = worker.deliver_queued();
      thread_state.detach();
      if (!here) break;  // the thread of a forked child: it ends
      had_turn = true;
    }
  }
  retire_generation_id(*generation->tracker, generation->id);
  thread_state.finish();
}

}  // namespace vorlisk::py
