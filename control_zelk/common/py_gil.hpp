// Native work done without the GIL, safe at interpreter exit.
//
//   {
//     zelk::GilReleased unlocked;   // instead of py::gil_scoped_release
//     cv::cvtColor(...);
//   }
//
// When the interpreter finalises while another thread is in such a block (a learner's daemon
// thread analysing camera pictures when the program ends), CPython before 3.14 ends that thread
// with pthread_exit as soon as it asks for the GIL back. In C++ that is a forced unwind; from
// py::gil_scoped_release's destructor, which may not throw, it aborts the whole process
// ("terminate called without an active exception"), so a program that ended normally dies
// with SIGABRT. A thread that leaves the block once the interpreter is finalising therefore
// never takes the GIL again: it waits, without touching Python, until the process exits. A
// thread already waiting for the GIL when finalising begins is ended by CPython all the same;
// its forced unwind is caught right there and the thread waits likewise (a catch that never
// ends may hold a forced unwind; only leaving the catch without rethrowing is forbidden).
#pragma once

#include <pybind11/pybind11.h>

#include <unistd.h>

namespace zelk {

// Whether the interpreter has started to finalise: no thread but the one finalising may run
// Python again.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Blocks the calling thread until the process ends.
[[noreturn]] inline void park_until_exit() {
  for (;;) pause();
}

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() {
    if (interpreter_finalizing()) park_until_exit();
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {
      // Only the forced unwind of pthread_exit can come out of this C function. Caught as
      // `...`: bound to abi::__forced_unwind&, the reference would be to no object at all.
      park_until_exit();  // without the GIL: CPython gave it up before ending the thread
    }
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace zelk
