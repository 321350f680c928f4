// Printing through the interpreter's print (the module's `print`, else the builtin, looked
// up at each call, so output reaches whatever sys.stdout is at the time) and assertion
// checks that behave like `assert cond, message` statements.
#pragma once

#include <pybind11/pybind11.h>

#include <type_traits>
#include <utility>

#include "py_names.hpp"

namespace zelk {
namespace py = pybind11;

// A Python object for any printable C++ value (Python objects pass as they are).
template <typename T>
py::object as_object(T&& value) {
  if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>)
    return py::reinterpret_borrow<py::object>(value);
  else if constexpr (std::is_same_v<std::decay_t<T>, Id>)  // a text made once: ZELK_ID("...")
    return py::reinterpret_borrow<py::object>(value.ptr);
  else if constexpr (std::is_convertible_v<T&&, py::object>)  // e.g. obj.attr("x")
    return py::object(std::forward<T>(value));
  else
    return py::cast(std::forward<T>(value));
}

// print(*args): items separated by one blank, newline at the end.
template <typename... Args>
void print(Args&&... args) {
  static_assert(sizeof...(Args) >= 1, "print needs something to print");
  call(global(ZELK_ID("print")), as_object(std::forward<Args>(args))...);
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

}  // namespace zelk
