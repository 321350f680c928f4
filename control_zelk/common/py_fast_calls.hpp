// Calls in both directions through CPython's vectorcall protocol rather than pybind11's
// generic machinery, so that a call costs about what a call between Python functions costs.
// That matters where every command of a learner's program goes through a chain of methods.
//
// Incoming: methods whose parameters are all Python objects,
//   zelk::def_fast_method(cls, "car_go", &car_go, py::arg("car_sp") = 0);
// positional-or-keyword, with defaults as given (shared default objects are passed as they
// are); argument errors are Python's TypeErrors.
// Outgoing: self.name(args...) and self.name(keyword=value), method names being string
// literals (their Python strings are made once).
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelk {
namespace py = pybind11;

struct FastMethod {
  struct Param {
    std::string name;
    py::object default_value;  // null: the argument is required
  };
  std::string name;
  std::vector<Param> params;  // after self
  // args[0] is self, then one argument per parameter.
  std::function<py::object(PyObject* const* args)> body;
};

// Attaches `method` to `cls` (binds to instances as an ordinary method).
void def_fast(py::handle cls, FastMethod method);

// The Python string for a string literal, made once (cached by the literal's address).
py::handle literal(const char* text);

// obj.name(*args)
template <typename... Args>
py::object call_method(py::handle obj, const char* name, const Args&... args) {
  PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
  PyObject* r = PyObject_VectorcallMethod(literal(name).ptr(), argv, sizeof...(Args) + 1, nullptr);
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// obj.name(keyword=value)
py::object call_method_kw(py::handle obj, const char* name, const char* keyword, py::handle value);

namespace detail {

inline FastMethod::Param param_of(const py::arg_v& a) {
  return {a.name, py::reinterpret_borrow<py::object>(a.value)};
}
inline FastMethod::Param param_of(const py::arg& a) {
  return {a.name, py::object()};
}

template <typename R, typename F, size_t... I>
py::object invoke(F& f, PyObject* const* args, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    f(py::reinterpret_borrow<py::object>(args[I])...);
    return py::none();
  } else if constexpr (std::is_base_of_v<py::object, R>) {
    return f(py::reinterpret_borrow<py::object>(args[I])...);
  } else {
    return py::cast(f(py::reinterpret_borrow<py::object>(args[I])...));
  }
}

template <typename T>
struct Signature : Signature<decltype(&T::operator())> {};
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  using result = R;
  static constexpr size_t arity = sizeof...(A);
};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> : Signature<R (*)(A...)> {};

}  // namespace detail

template <typename Func, typename... Params>
void def_fast_method(py::handle cls, const char* name, Func f, const Params&... params) {
  using Sig = detail::Signature<std::decay_t<Func>>;
  static_assert(Sig::arity == 1 + sizeof...(Params), "one py::arg per parameter after self");
  FastMethod m;
  m.name = name;
  m.params = {detail::param_of(params)...};
  m.body = [f](PyObject* const* args) mutable {
    return detail::invoke<typename Sig::result>(f, args, std::make_index_sequence<Sig::arity>());
  };
  def_fast(cls, std::move(m));
}

}  // namespace zelk
