// Internal interface of the hardware module: each source file adds its classes to the
// module in the order the module defines them.
#pragma once

#include <pybind11/pybind11.h>

#include "py_class.hpp"

namespace drivox {
namespace py = pybind11;

// This module's globals (`serial`, `time`, the dictionaries, the classes).
inline zelk::ModuleGlobals global;

// Python operators on objects of any type, raising Python's own errors.
inline py::object checked(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
inline py::object binop(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b) {
  return checked(op(a.ptr(), b.ptr()));
}
inline py::object add(py::handle a, py::handle b) {
  return binop(PyNumber_Add, a, b);
}
inline py::object mul(py::handle a, py::handle b) {
  return binop(PyNumber_Multiply, a, b);
}
inline py::object truediv(py::handle a, py::handle b) {
  return binop(PyNumber_TrueDivide, a, b);
}
inline py::object mod(py::handle a, py::handle b) {
  return binop(PyNumber_Remainder, a, b);
}
inline py::object neg(py::handle a) {
  return checked(PyNumber_Negative(a.ptr()));
}

void add_serial_link(py::module_& m);      // MySerial
void add_device_commands(py::module_& m);  // Id and the device families
void add_robot_api(py::module_& m);        // learner-level classes and time_count
void add_demo(py::module_& m);             // main(num)

}  // namespace drivox
