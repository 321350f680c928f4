// Python-level helpers shared by the modules: printing through the interpreter's own
// print (so output reaches whatever sys.stdout is at the time) and assertion checks that
// behave like `assert cond, message` statements.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace zelk {
namespace py = pybind11;

// The builtin print function, looked up once.
py::object builtin_print();

// print(*args): items separated by one blank, newline at the end.
template <typename... Args>
void print(Args&&... args) {
  builtin_print()(std::forward<Args>(args)...);
}

// True when the interpreter runs with -O (assert statements are skipped then).
bool assertions_disabled();

[[noreturn]] void raise_assertion(const char* message);

// `assert cond(), message`: like the statement, the condition is not even evaluated when
// assertions are disabled.
template <typename Cond>
void check(Cond&& cond, const char* message) {
  if (assertions_disabled()) return;
  if (!cond()) raise_assertion(message);
}

// Truth value of a Python object (as `if obj:`).
inline bool truthy(py::handle obj) {
  return py::bool_(py::reinterpret_borrow<py::object>(obj));
}

// Rich comparisons on arbitrary Python objects, with Python's own semantics and errors.
py::object compare(py::handle a, py::handle b, int op);
inline bool lt(py::handle a, py::handle b) {
  return truthy(compare(a, b, Py_LT));
}
inline bool le(py::handle a, py::handle b) {
  return truthy(compare(a, b, Py_LE));
}
inline bool gt(py::handle a, py::handle b) {
  return truthy(compare(a, b, Py_GT));
}
inline bool eq(py::handle a, py::handle b) {
  return truthy(compare(a, b, Py_EQ));
}
inline bool ne(py::handle a, py::handle b) {
  return truthy(compare(a, b, Py_NE));
}

}  // namespace zelk
