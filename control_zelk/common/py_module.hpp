// ZELK_MODULE(name, m) { ... }: defines the init function of extension module `name`,
// like PYBIND11_MODULE, except that an error raised while the module initialises reaches
// the importer unchanged. A missing library thus fails the import with the library's own
// ModuleNotFoundError, not pybind11's "ImportError: initialization failed".
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

#define ZELK_MODULE(name, variable)                                                   \
  static void zelk_init_##name(pybind11::module_&);                                   \
  PYBIND11_PLUGIN_IMPL(name) {                                                        \
    PYBIND11_CHECK_PYTHON_VERSION                                                     \
    PYBIND11_ENSURE_INTERNALS_READY                                                   \
    static pybind11::module_::module_def definition;                                  \
    auto m = pybind11::module_::create_extension_module(#name, nullptr, &definition); \
    try {                                                                             \
      zelk_init_##name(m);                                                            \
      return m.ptr();                                                                 \
    } catch (pybind11::error_already_set & e) {                                       \
      e.restore();                                                                    \
    } catch (const std::exception& e) {                                               \
      PyErr_SetString(PyExc_ImportError, e.what());                                   \
    }                                                                                 \
    return nullptr;                                                                   \
  }                                                                                   \
  void zelk_init_##name(pybind11::module_& variable)
