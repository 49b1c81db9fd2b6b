#include "stream/python_runtime.hpp"

#include <dlfcn.h>

#include <atomic>

namespace pyvorn {

bool interpreter_finalizing() noexcept {
  // Resolved at run time: the name differs between interpreter versions, and
  // a missing symbol must not keep the module from loading (the version gate
  // has to be reachable).
  using Query = int (*)();
  static const Query query = [] {
    auto found = reinterpret_cast<Query>(dlsym(RTLD_DEFAULT, "Py_IsFinalizing"));
    if (found == nullptr) {
      found = reinterpret_cast<Query>(dlsym(RTLD_DEFAULT, "_Py_IsFinalizing"));
    }
    return found;
  }();
  return query != nullptr && query() != 0;
}

bool holds_gil() noexcept { return _PyThreadState_UncheckedGet() != nullptr; }

namespace {
std::atomic<bool> gate_closed{false};
std::atomic<int> gate_inside{0};
}  // namespace

bool PythonGate::admit() noexcept {
  gate_inside.fetch_add(1, std::memory_order_seq_cst);
  if (gate_closed.load(std::memory_order_seq_cst)) {
    leave();
    return false;
  }
  return true;
}

void PythonGate::leave() noexcept {
  if (gate_inside.fetch_sub(1, std::memory_order_seq_cst) == 1 && gate_closed.load(std::memory_order_seq_cst)) {
    gate_inside.notify_all();
  }
}

void PythonGate::close() noexcept {
  gate_closed.store(true, std::memory_order_seq_cst);
  PyThreadState* self = PyEval_SaveThread();
  for (int inside = gate_inside.load(); inside != 0; inside = gate_inside.load()) {
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
