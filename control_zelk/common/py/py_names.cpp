#include "py_names.hpp"

namespace zelk {
namespace {

PyObject* module_dict = nullptr;
PyObject* builtins_dict = nullptr;

}  // namespace

namespace detail {

PyObject* make_interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw py::error_already_set();
  return s;
}

PyObject* make_kwnames(const char* const* names, std::size_t n) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
  if (t == nullptr) throw py::error_already_set();
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* s = PyUnicode_InternFromString(names[i]);
    if (s == nullptr) {
      Py_DECREF(t);
      throw py::error_already_set();
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), s);
  }
  return t;
}

}  // namespace detail

void bind_module(py::module_& m) {
  // Held for the life of the process: calls may come during interpreter teardown.
  module_dict = py::object(m.attr("__dict__")).release().ptr();
  builtins_dict = py::object(py::module_::import("builtins").attr("__dict__")).release().ptr();
}

py::object global(Id name) {
  PyObject* value = PyDict_GetItemWithError(module_dict, name.ptr);
  if (value == nullptr && !PyErr_Occurred())
    value = PyDict_GetItemWithError(builtins_dict, name.ptr);
  if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
  if (PyErr_Occurred()) throw py::error_already_set();
  // Let the interpreter itself report the unknown name.
  return steal_or_throw(PyEval_EvalCode(
      steal_or_throw(Py_CompileString(PyUnicode_AsUTF8(name.ptr), "<global>", Py_eval_input)).ptr(),
      module_dict, module_dict));
}

}  // namespace zelk
