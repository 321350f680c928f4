// Python's operators on objects of any type, with Python's own semantics and errors: the
// arithmetic, comparisons and truth tests the algorithms make on learners' arguments.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <utility>

#include "py_names.hpp"

namespace zelk {
namespace py = pybind11;

// Truth value of a Python object (as `if obj:`).
inline bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

inline py::object binop(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b) {
  return steal_or_throw(op(a.ptr(), b.ptr()));
}
inline py::object add(py::handle a, py::handle b) {
  return binop(PyNumber_Add, a, b);
}
inline py::object sub(py::handle a, py::handle b) {
  return binop(PyNumber_Subtract, a, b);
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
  return steal_or_throw(PyNumber_Negative(a.ptr()));
}

// `if a OP b:` for the operators <, <=, >, ==, != (no identity shortcut, as in Python).
inline bool compare(py::handle a, py::handle b, int op) {
  return truthy(steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}
inline bool lt(py::handle a, py::handle b) {
  return compare(a, b, Py_LT);
}
inline bool le(py::handle a, py::handle b) {
  return compare(a, b, Py_LE);
}
inline bool gt(py::handle a, py::handle b) {
  return compare(a, b, Py_GT);
}
inline bool eq(py::handle a, py::handle b) {
  return compare(a, b, Py_EQ);
}
inline bool ne(py::handle a, py::handle b) {
  return compare(a, b, Py_NE);
}

// Raises the interpreter's own ZeroDivisionError by dividing by zero for real: that of
// float division (x / 0.0) or of integer floor division (x // 0).
[[noreturn]] void raise_float_division_by_zero();
[[noreturn]] void raise_integer_division_by_zero();

// exc.add_note(note): a line printed under the exception's own message in its traceback.
void add_note(py::handle exc, const char* note);

namespace detail {
py::tuple unpack(py::handle obj, std::size_t n);
}  // namespace detail

// `v0, ..., v(N-1) = obj`: the N items of obj. A tuple of N is taken apart directly; anything
// else is unpacked by the interpreter, with its own errors for wrong lengths and types.
template <std::size_t N>
std::array<py::object, N> unpack(py::handle obj) {
  const py::tuple t = detail::unpack(obj, N);
  std::array<py::object, N> items;
  for (std::size_t i = 0; i < N; ++i)
    items[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(t.ptr(), i));
  return items;
}

// `a, b = obj`: the two items of a pair. A tuple of two is taken apart directly; anything
// else is unpacked by the interpreter, with its own errors for wrong lengths and types.
std::pair<py::object, py::object> unpack2(py::handle obj);

}  // namespace zelk
