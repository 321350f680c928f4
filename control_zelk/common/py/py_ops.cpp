#include "py_ops.hpp"

#include <map>
#include <stdexcept>
#include <string>

namespace zelk {
namespace {

// `v0, ..., v(n-1) = obj` written in Python, run only when obj is not a plain tuple of n.
PyObject* python_unpack(std::size_t n) {
  static std::map<std::size_t, PyObject*> made;  // lives as long as the process
  PyObject*& fn = made[n];
  if (fn != nullptr) return fn;
  std::string names;
  for (std::size_t i = 0; i < n; ++i) names += (i > 0 ? ", v" : "v") + std::to_string(i);
  const std::string source =
      "def unpack(obj):\n    " + names + " = obj\n    return " + names + (n == 1 ? ",\n" : "\n");
  py::dict ns;
  ns["__builtins__"] = py::module_::import("builtins");
  steal_or_throw(PyRun_String(source.c_str(), Py_file_input, ns.ptr(), ns.ptr()));
  fn = py::object(ns["unpack"]).release().ptr();
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

namespace detail {

py::tuple unpack(py::handle obj, std::size_t n) {
  if (PyTuple_CheckExact(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == static_cast<Py_ssize_t>(n))
    return py::reinterpret_borrow<py::tuple>(obj);
  return py::reinterpret_steal<py::tuple>(call(python_unpack(n), obj).release());
}

}  // namespace detail

std::pair<py::object, py::object> unpack2(py::handle obj) {
  const auto [a, b] = unpack<2>(obj);
  return {a, b};
}

}  // namespace zelk
