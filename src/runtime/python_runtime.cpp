#include "runtime/python_runtime.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "runtime/binding_internals.hpp"

namespace pyvorn {

namespace {

using FinalizingQuery = int (*)();

// Resolved at run time: the name differs between interpreter versions, and a
// missing symbol must not keep the module from loading (the version gate has
// to be reachable). Resolved when the module is loaded, not at the first
// call: a first call runs on stream workers without the GIL, and a process
// forked while one of them was inside a lazy initialisation would leave the
// child's first caller waiting for it for good.
FinalizingQuery resolve_finalizing_query() noexcept {
  auto found = reinterpret_cast<FinalizingQuery>(internals::interpreter_symbol("Py_IsFinalizing"));
  if (found == nullptr) {
    found = reinterpret_cast<FinalizingQuery>(internals::interpreter_symbol("_Py_IsFinalizing"));
  }
  return found;
}

const FinalizingQuery finalizing_query = resolve_finalizing_query();

}  // namespace

bool interpreter_finalizing() noexcept { return finalizing_query != nullptr && finalizing_query() != 0; }

bool holds_gil() noexcept { return internals::current_thread_state() != nullptr; }

namespace {
std::atomic<bool> gate_closed{false};
std::atomic<int> gate_inside{0};
std::atomic<std::thread::id> gate_closer{};
// How deeply the calling thread is admitted (a delivery that calls a method
// which releases and retakes the GIL is admitted twice).
thread_local int admitted_depth = 0;

void leave_gate() noexcept {
  if (gate_inside.fetch_sub(1, std::memory_order_seq_cst) == 1 && gate_closed.load(std::memory_order_seq_cst)) {
    gate_inside.notify_all();
  }
}

[[noreturn]] void park_forever() noexcept {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::hours(24));
  }
}

std::atomic<std::uint64_t> forks_since_load{0};
std::mutex abandoned_mutex;
// Never destroyed: kept until the process ends. Made at load, not at a first
// use (see resolve_finalizing_query).
auto* const kept = new std::vector<PyObject*>();

// In a forked child only the forking thread exists: only its own admission
// counts, and the lock of the abandoned references is made anew.
void after_fork_in_child() noexcept {
  gate_inside.store(admitted_depth > 0 ? 1 : 0, std::memory_order_seq_cst);
  new (&abandoned_mutex) std::mutex();
  forks_since_load.fetch_add(1, std::memory_order_seq_cst);
}

const bool fork_handlers_installed = pthread_atfork(nullptr, nullptr, &after_fork_in_child) == 0;
}  // namespace

std::uint64_t fork_generation() noexcept {
  static_cast<void>(fork_handlers_installed);
  return forks_since_load.load(std::memory_order_relaxed);
}

void end_forked_child(PyObject* result) noexcept {
  if (result == nullptr) {
    PyErr_Print();  // SystemExit exits here, with its code
    Py_Exit(1);
  }
  Py_DECREF(result);
  Py_Exit(0);
}

bool PythonGate::admit() noexcept {
  if (admitted_depth > 0) {
    ++admitted_depth;
    return true;
  }
  gate_inside.fetch_add(1, std::memory_order_seq_cst);
  if (gate_closed.load(std::memory_order_seq_cst) &&
      gate_closer.load(std::memory_order_seq_cst) != std::this_thread::get_id()) {
    leave_gate();
    return false;
  }
  admitted_depth = 1;
  return true;
}

void PythonGate::leave() noexcept {
  if (--admitted_depth == 0) {
    leave_gate();
  }
}

void abandon_at_exit(PyObject* object) noexcept {
  if (object == nullptr) {
    return;
  }
  std::lock_guard lock(abandoned_mutex);
  try {
    kept->push_back(object);
  } catch (...) {
    // Out of memory: the reference is simply never released.
  }
}

void reenter_python(PyThreadState* state) noexcept {
  if (!PythonGate::admit()) {
    park_forever();
  }
  PyEval_RestoreThread(state);
  PythonGate::leave();
}

void PythonGate::close() noexcept {
  gate_closer.store(std::this_thread::get_id(), std::memory_order_seq_cst);
  gate_closed.store(true, std::memory_order_seq_cst);
  // The closing thread may itself be inside (an exit handler run from a
  // delivery); it does not wait for itself.
  const int own = admitted_depth > 0 ? 1 : 0;
  PyThreadState* self = PyEval_SaveThread();
  for (int inside = gate_inside.load(); inside > own; inside = gate_inside.load()) {
    gate_inside.wait(inside);
  }
  PyEval_RestoreThread(self);
}

void WorkerThreadState::enter() noexcept {
  if (owned_ != nullptr) {
    PyEval_RestoreThread(owned_);
    return;
  }
  if (PyGILState_GetThisThreadState() == nullptr) {
    // First delivery on a fresh worker: create the thread state and keep it.
    PyGILState_Ensure();
    owned_ = PyThreadState_Get();
    nesting_ = false;
    return;
  }
  nested_ = PyGILState_Ensure();
  nesting_ = true;
}

void WorkerThreadState::exit() noexcept {
  if (nesting_) {
    nesting_ = false;
    PyGILState_Release(nested_);
    return;
  }
  if (owned_ != nullptr) {
    PyEval_SaveThread();
  }
}

void WorkerThreadState::exit_for_good() noexcept {
  if (nesting_) {
    exit();
    return;
  }
  if (owned_ != nullptr) {
    owned_ = nullptr;
    // Balances the PyGILState_Ensure of the first delivery: deletes the
    // thread state and releases the GIL.
    PyGILState_Release(PyGILState_UNLOCKED);
  }
}

}  // namespace pyvorn
