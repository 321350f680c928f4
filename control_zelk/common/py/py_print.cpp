#include "py_print.hpp"

namespace zelk {

bool assertions_disabled() {
  // sys.flags is fixed for the life of the interpreter.
  static PyObject* const flags =
      py::object(py::module_::import("sys").attr("flags")).release().ptr();
  return py::int_(py::handle(flags).attr("optimize")).cast<long>() > 0;
}

void raise_assertion(const char* message) {
  PyErr_SetString(PyExc_AssertionError, message);
  throw py::error_already_set();
}

}  // namespace zelk
