// Functions and methods written in C++ that behave like functions written in Python.
//
//   zelk::def(cls, "car_go", "Drives forward at car_sp.", &car_go, py::arg("car_sp") = 0);
//
// attaches car_go(self, car_sp=0) to the class `cls` (or, on a module, a function without
// self). The C++ function takes one py::object (or py::handle) per parameter, self first
// for methods, and returns void, a Python object or a value pybind11 can cast.
//
// The function object is called through vectorcall and binds to instances as a Python
// function does (no bound-method object per call). Parameters are positional-or-keyword,
// with Python's rules; defaults are the objects given (shared, as Python's are). It has a
// __name__, __qualname__, __module__, __doc__, __signature__ and __text_signature__, so
// inspect.signature and help() work. When the arguments do not bind, the call is repeated on
// a plain Python function of the same signature, so that the TypeError is the interpreter's
// own. Every C++ exception becomes the Python exception pybind11 would raise for it (with
// the module's own translators, e.g. cv::Exception -> cv2.error).
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelk {
namespace py = pybind11;

struct FunctionDef {
  struct Param {
    std::string name;
    py::object default_value;  // null: required
  };
  std::string name;
  std::string qualname;
  py::object module;  // the value of __module__
  std::string doc;
  std::vector<Param> params;  // self first, for methods
  // args: one object per parameter, in order.
  std::function<py::object(PyObject* const* args)> body;
};

// The callable Python object for `fn`.
py::object make_function(FunctionDef fn);

namespace detail {

template <typename T>
struct Signature : Signature<decltype(&T::operator())> {};
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
  using result = R;
  static constexpr std::size_t arity = sizeof...(A);
};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...) const> : Signature<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...)> : Signature<R (*)(A...)> {};

template <typename R, typename F, std::size_t... I>
py::object invoke(F& f, PyObject* const* args, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    f(py::reinterpret_borrow<py::object>(args[I])...);
    return py::none();
  } else if constexpr (std::is_base_of_v<py::handle, R>) {
    return f(py::reinterpret_borrow<py::object>(args[I])...);
  } else {
    return py::cast(f(py::reinterpret_borrow<py::object>(args[I])...));
  }
}

inline FunctionDef::Param param_of(const py::arg_v& a) {
  return {a.name, py::reinterpret_borrow<py::object>(a.value)};
}
inline FunctionDef::Param param_of(const py::arg& a) {
  return {a.name, py::object()};
}

// Name, qualified name, module and leading parameters for a function defined on `owner`
// (a class: a method taking self; a module: a plain function).
FunctionDef def_for(py::handle owner, const char* name, const char* doc);

}  // namespace detail

// The function `name` of `owner` (class or module), not yet attached.
template <typename Func, typename... Params>
py::object function(py::handle owner, const char* name, const char* doc, Func f,
                    const Params&... params) {
  using Sig = detail::Signature<std::decay_t<Func>>;
  FunctionDef fn = detail::def_for(owner, name, doc);
  std::vector<FunctionDef::Param> declared{detail::param_of(params)...};
  for (auto& p : declared) fn.params.push_back(std::move(p));
  if (fn.params.size() != Sig::arity)
    throw std::logic_error(fn.qualname + ": one py::arg per parameter after self");
  fn.body = [f](PyObject* const* args) mutable {
    return detail::invoke<typename Sig::result>(f, args, std::make_index_sequence<Sig::arity>());
  };
  return make_function(std::move(fn));
}

// Attaches the function `name` to `owner` (class or module).
template <typename Func, typename... Params>
void def(py::handle owner, const char* name, const char* doc, Func f, const Params&... params) {
  owner.attr(name) = function(owner, name, doc, std::move(f), params...);
}

}  // namespace zelk
