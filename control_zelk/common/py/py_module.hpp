// ZELK_MODULE(name, m) { ... }: defines the init function of extension module `name`, like
// PYBIND11_MODULE, except that an error raised while the module initialises reaches the
// importer unchanged. A missing library thus fails the import with the library's own
// ModuleNotFoundError, not pybind11's "ImportError: initialization failed". Written with
// CPython's PyMODINIT_FUNC and pybind11's public interface only.
#pragma once

#include <pybind11/pybind11.h>

namespace zelk::detail {

// Makes the module `name` and runs `body` on it; the new module, or null with the error set.
PyObject* init_module(const char* name, PyModuleDef* definition, void (*body)(pybind11::module_&));

}  // namespace zelk::detail

#define ZELK_MODULE(name, variable)                                            \
  static void zelk_init_##name(pybind11::module_&);                            \
  PyMODINIT_FUNC PyInit_##name() {                                             \
    static PyModuleDef definition;                                             \
    return ::zelk::detail::init_module(#name, &definition, &zelk_init_##name); \
  }                                                                            \
  void zelk_init_##name(pybind11::module_& variable)
