#include "py_print.hpp"

#include "py_class.hpp"

namespace zelk {

py::object builtin_print() {
  // Intentionally leaked: it must outlive module teardown at interpreter exit.
  static PyObject* print_fn = keep_forever(py::module_::import("builtins").attr("print"));
  return py::reinterpret_borrow<py::object>(print_fn);
}

bool assertions_disabled() {
  static PyObject* flags = keep_forever(py::module_::import("sys").attr("flags"));
  return py::int_(py::handle(flags).attr("optimize")).cast<long>() > 0;
}

void raise_assertion(const char* message) {
  PyErr_SetString(PyExc_AssertionError, message);
  throw py::error_already_set();
}

void raise_zero_division(const char* message) {
  PyErr_SetString(PyExc_ZeroDivisionError, message);
  throw py::error_already_set();
}

py::object compare(py::handle a, py::handle b, int op) {
  PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

}  // namespace zelk
