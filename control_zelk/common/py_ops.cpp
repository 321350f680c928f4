#include "py_ops.hpp"

#include <stdexcept>

namespace zelk {
namespace {

// `a, b = obj` written in Python, run only when obj is not a plain pair. Made on first use,
// under the GIL, and not as an initialised function-local static: running the definition may
// let the GIL go, and a second thread arriving meanwhile would wait for the static's guard
// while holding the GIL, so neither could go on. Two threads may both make it; one is kept.
PyObject* python_unpack2() {
  static PyObject* fn = nullptr;
  if (fn != nullptr) return fn;
  py::dict ns;
  ns["__builtins__"] = py::module_::import("builtins");
  steal_or_throw(PyRun_String("def unpack2(obj):\n    a, b = obj\n    return a, b\n",
                              Py_file_input, ns.ptr(), ns.ptr()));
  if (fn == nullptr) fn = py::object(ns["unpack2"]).release().ptr();
  return fn;
}

}  // namespace

void raise_float_division_by_zero() {
  steal_or_throw(PyNumber_TrueDivide(py::float_(1.0).ptr(), py::float_(0.0).ptr()));
  throw std::logic_error("division by zero did not raise");
}

void raise_integer_division_by_zero() {
  steal_or_throw(PyNumber_FloorDivide(py::int_(1).ptr(), py::int_(0).ptr()));
  throw std::logic_error("division by zero did not raise");
}

void add_note(py::handle exc, const char* note) {
  call_method(exc, ZELK_ID("add_note"), py::str(note));
}

std::pair<py::object, py::object> unpack2(py::handle obj) {
  if (PyTuple_CheckExact(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2)
    return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(obj.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(obj.ptr(), 1))};
  py::object pair = call(python_unpack2(), obj);
  return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 0)),
          py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 1))};
}

}  // namespace zelk
