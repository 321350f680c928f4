// Python names used from C++: interned strings made once per place of use, the globals of
// the module being built, and calls through CPython's vectorcall protocol.
//
//   zelk::global(ZELK_ID("cv2"))                     the module global cv2, looked up now
//   zelk::call_method(self, ZELK_ID("set_id"))       self.set_id()
//   zelk::call_method(self, ZELK_ID("cur_exe"), ZELK_KW("id", "mode"), a, b)
//                                                    self.cur_exe(id=a, mode=b)
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace zelk {
namespace py = pybind11;

// An interned Python string (borrowed; it lives as long as the process).
struct Id {
  PyObject* ptr;
};

// A tuple of keyword names for a call (borrowed, lives as long as the process).
struct KwNames {
  PyObject* ptr;
};

namespace detail {

PyObject* make_interned(const char* text);
PyObject* make_kwnames(const char* const* names, std::size_t n);

// One static per lambda type, that is per place of use of the macros below.
template <typename Text>
PyObject* interned_once(Text text) {
  static PyObject* const s = make_interned(text());
  return s;
}

template <typename Names>
PyObject* kwnames_once(Names names) {
  static PyObject* const t = [&] {
    const auto list = names();
    return make_kwnames(list.data(), list.size());
  }();
  return t;
}

}  // namespace detail

#define ZELK_ID(text) (::zelk::Id{::zelk::detail::interned_once([] { return text; })})
#define ZELK_KW(...) \
  (::zelk::KwNames{::zelk::detail::kwnames_once([] { return std::array{__VA_ARGS__}; })})

// Remembers the module whose globals global() reads. Called once by the module's init.
void bind_module(py::module_& m);

// The module global `name`, else the builtin of that name, looked up at call time as
// Python code looks up a global name: a learner's replacement of a module attribute
// (`optik.cv2`, a table, `print`) is seen. A name that is neither raises NameError.
py::object global(Id name);

inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// callable(*args)
template <typename... Args>
py::object call(py::handle callable, const Args&... args) {
  PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
  return steal_or_throw(PyObject_Vectorcall(
      callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args)
template <typename... Args>
py::object call_method(py::handle obj, Id name, const Args&... args) {
  PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
  return steal_or_throw(PyObject_VectorcallMethod(
      name.ptr, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*positional, **dict(zip(keywords, values))): the last len(keywords) arguments
// are passed by keyword.
template <typename... Args>
py::object call_method(py::handle obj, Id name, KwNames keywords, const Args&... args) {
  PyObject* argv[] = {obj.ptr(), py::handle(args).ptr()...};
  const auto positional =
      sizeof...(Args) + 1 - static_cast<std::size_t>(PyTuple_GET_SIZE(keywords.ptr));
  return steal_or_throw(PyObject_VectorcallMethod(name.ptr, argv, positional, keywords.ptr));
}

}  // namespace zelk
