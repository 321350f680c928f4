// Python-level helpers shared by the modules: printing through the interpreter's own
// print (so output reaches whatever sys.stdout is at the time) and assertion checks that
// behave like `assert cond, message` statements.
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>
#include <utility>

namespace zelk {
namespace py = pybind11;

// The builtin print function, looked up once.
py::object builtin_print();

// A Python object for any printable C++ value (Python objects pass as they are).
template <typename T>
py::object as_object(T&& value) {
  if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>)
    return py::reinterpret_borrow<py::object>(value);
  else if constexpr (std::is_convertible_v<T&&, py::object>)  // e.g. obj.attr("x")
    return py::object(std::forward<T>(value));
  else
    return py::cast(std::forward<T>(value));
}

// print(*args): items separated by one blank, newline at the end.
template <typename... Args>
void print(Args&&... args) {
  static_assert(sizeof...(Args) >= 1, "print needs something to print");
  const py::object items[] = {as_object(std::forward<Args>(args))...};
  PyObject* argv[sizeof...(Args)];
  for (size_t i = 0; i < sizeof...(Args); ++i) argv[i] = items[i].ptr();
  PyObject* r = PyObject_Vectorcall(builtin_print().ptr(), argv, sizeof...(Args), nullptr);
  if (r == nullptr) throw py::error_already_set();
  Py_DECREF(r);
}

// True when the interpreter runs with -O (assert statements are skipped then).
bool assertions_disabled();

[[noreturn]] void raise_assertion(const char* message);

// Python's ZeroDivisionError, for the divisions the Python-level algorithms make.
[[noreturn]] void raise_zero_division(const char* message);

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
