#include "py_threads.hpp"

#include <pythread.h>
#include <unistd.h>

#include <atomic>

namespace zelk {
namespace {

namespace py = pybind11;

std::atomic<unsigned long> main_thread{0};

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

void note_main_thread() {
  // The interpreter's main thread, whichever thread imports the module: it is the one that
  // finalizes the interpreter.
  const auto ident =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  main_thread.store(ident);
}

bool on_main_thread() {
  return PyThread_get_thread_ident() == main_thread.load();
}

bool interpreter_ending_elsewhere() {
  return finalizing() && !on_main_thread();
}

void wait_for_process_end() {
  if (PyGILState_Check()) PyEval_SaveThread();  // the finalizing thread needs it
  for (;;) pause();
}

}  // namespace zelk
