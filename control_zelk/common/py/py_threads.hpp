// Threads and the interpreter's end. While the interpreter is being finalized, CPython ends any
// other thread that tries to take the GIL (a daemon thread of a learner's program, say) with
// pthread_exit. Its unwinding would run this library's C++ destructors without the GIL (which
// corrupts reference counts), or abort where it meets a noexcept one. So a thread caught that
// way inside this library waits, holding nothing, until the process ends, as CPython 3.14 makes
// its own threads do.
#pragma once

#include <pybind11/pybind11.h>

namespace zelk {

// Waits for the process to end, after letting the GIL go if this thread holds it.
[[noreturn]] void wait_for_process_end();

// Whether the interpreter is being finalized by another thread (the main one) than this one.
bool interpreter_ending_elsewhere();

// Whether this is the interpreter's main thread.
bool on_main_thread();

// Remembers the main thread; called by each module's init.
void note_main_thread();

// take(): a call of the C API that takes the GIL, or runs Python code that may let it go and
// take it back. Should the interpreter's end cancel the thread there, it waits for the process
// to end instead. Nothing but that cancellation can come out of a C function, so it is caught
// as `...` (naming abi::__forced_unwind binds a reference to no object). Not inside a catch
// block: a cancellation cannot be caught while another exception is.
template <typename Take>
decltype(auto) at_exit_safe(Take&& take) {
  try {
    return take();
  } catch (...) {
    wait_for_process_end();
  }
}

// The GIL let go for a native step, and taken back at the end of the scope.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() {
    if (interpreter_ending_elsewhere()) wait_for_process_end();
    at_exit_safe([this] { PyEval_RestoreThread(state_); });
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// The GIL held for the scope by a thread that may not hold it (a callback from OpenCV).
class Locked {
 public:
  Locked() : state_(take()) {}
  ~Locked() { PyGILState_Release(state_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  static PyGILState_STATE take() {
    if (!PyGILState_Check() && interpreter_ending_elsewhere()) wait_for_process_end();
    return at_exit_safe([] { return PyGILState_Ensure(); });
  }
  PyGILState_STATE state_;
};

}  // namespace zelk
