// Access to the Python runtime from threads the interpreter did not start.
#pragma once

#include <Python.h>

namespace pyvorn {

// True once the interpreter has begun to finalize. From then on a thread
// other than the finalizing one must not try to take the GIL (the
// interpreter would end that thread in the middle of native code).
bool interpreter_finalizing() noexcept;

// True when the calling thread holds the GIL of its interpreter (unlike
// PyGILState_Check, also right once subinterpreters exist).
bool holds_gil() noexcept;

// Admission of native worker threads into Python. The module closes it at
// interpreter exit, before finalization, so that no worker tries to take the
// GIL once the interpreter has begun to tear down (it would be ended in the
// middle of native code). Any thread.
class PythonGate {
 public:
  // Admits the calling thread, or refuses it once the gate is closed. A
  // successful admit() must be paired with leave().
  static bool admit() noexcept;
  static void leave() noexcept;
  // Closes the gate and waits, with the GIL released, until every admitted
  // thread has left. GIL held on entry and on return.
  static void close() noexcept;
};

// Scoped admission: `if (PythonAdmission admitted; admitted) ...`.
class PythonAdmission {
 public:
  PythonAdmission() noexcept : admitted_(PythonGate::admit()) {}
  ~PythonAdmission() {
    if (admitted_) PythonGate::leave();
  }
  PythonAdmission(const PythonAdmission&) = delete;
  PythonAdmission& operator=(const PythonAdmission&) = delete;
  explicit operator bool() const noexcept { return admitted_; }

 private:
  bool admitted_;
};

// A Python thread state kept for the whole life of a native worker thread,
// so that each delivery only swaps the GIL instead of creating and
// destroying a thread state. Used by one thread: the one that calls enter()
// first. Not copyable.
class WorkerThreadState {
 public:
  WorkerThreadState() = default;
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;
  ~WorkerThreadState() = default;

  // Takes the GIL on the calling thread. On a thread without a Python thread
  // state, creates one and keeps it after exit(); elsewhere it nests like
  // PyGILState_Ensure.
  void enter() noexcept;
  // Gives the GIL back, keeping a created thread state.
  void exit() noexcept;
  // Gives the GIL back and deletes a created thread state. Called once, on
  // the worker thread, as its last use of Python.
  void exit_for_good() noexcept;

 private:
  PyThreadState* owned_ = nullptr;
  PyGILState_STATE nested_ = PyGILState_UNLOCKED;
  bool nesting_ = false;
};

// Scoped enter()/exit() of a WorkerThreadState.
class WorkerGil {
 public:
  explicit WorkerGil(WorkerThreadState& state) noexcept : state_(state) { state_.enter(); }
  ~WorkerGil() { state_.exit(); }
  WorkerGil(const WorkerGil&) = delete;
  WorkerGil& operator=(const WorkerGil&) = delete;

 private:
  WorkerThreadState& state_;
};

}  // namespace pyvorn
