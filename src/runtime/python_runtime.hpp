// Access to the Python runtime from threads the interpreter did not start.
#pragma once

#include <Python.h>

#include <cstdint>

namespace pyvorn {

// True once the interpreter has begun to finalize. From then on a thread
// other than the finalizing one must not try to take the GIL (the
// interpreter would end that thread in the middle of native code).
bool interpreter_finalizing() noexcept;

// True when the calling thread holds the GIL of its interpreter (unlike
// PyGILState_Check, also right once subinterpreters exist).
bool holds_gil() noexcept;

// Admission into Python of threads that come from native code: stream
// workers, and threads returning from a call that released the GIL. The
// module closes it at interpreter exit, before finalization, so that no such
// thread tries to take the GIL once the interpreter has begun to tear down
// (CPython 3.12 would end that thread in the middle of native code, which
// aborts the process when the unwind meets a noexcept frame). Any thread.
class PythonGate {
 public:
  // Admits the calling thread, or refuses it once the gate is closed. The
  // thread that closed the gate (the one that goes on to finalize) is always
  // admitted, and so is a thread that is already inside. A successful
  // admit() must be paired with leave().
  static bool admit() noexcept;
  static void leave() noexcept;
  // Closes the gate and waits, with the GIL released, until every admitted
  // thread has left. GIL held on entry and on return.
  static void close() noexcept;
};

// How many fork()s lie between the calling process and the one that loaded
// the module (0 there; each child counts one more than its parent). Any
// thread.
std::uint64_t fork_generation() noexcept;

// For the thread that called fork() inside a stream callback, once that call
// returned in the child, where it is the only thread: ends the child as a
// program would end whose last statement was that call. `result` is the
// call's result, or null with its exception set: SystemExit exits with its
// code, another exception is printed and exits with 1, a result exits with 0.
// The interpreter's exit handlers run. GIL held; never returns.
[[noreturn]] void end_forked_child(PyObject* result) noexcept;

// Keeps a reference to `object` for the rest of the process, without the
// GIL: for a thread that may no longer enter a finalizing interpreter and so
// cannot drop its references. The object stays reachable (nothing is lost
// track of) and is never released. Any thread; null is ignored.
void abandon_at_exit(PyObject* object) noexcept;

// Takes the GIL back with the thread state that PyEval_SaveThread returned.
// A thread the gate refuses never returns: it parks for good, so that the
// interpreter can finish and the process exit around it.
void reenter_python(PyThreadState* state) noexcept;

// Releases the GIL for its lifetime when the calling thread holds it, and
// takes it back through reenter_python. The module's replacement for
// pybind11::gil_scoped_release on every path that can run at exit.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(holds_gil() ? PyEval_SaveThread() : nullptr) {}
  ~ReleasedGil() {
    if (state_ != nullptr) reenter_python(state_);
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
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

}  // namespace pyvorn
