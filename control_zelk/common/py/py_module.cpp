#include "py_module.hpp"

#include <exception>

#include "py_errors.hpp"

namespace zelk::detail {

PyObject* init_module(const char* name, PyModuleDef* definition, void (*body)(pybind11::module_&)) {
  // An extension is tied to the interpreter version it was compiled for.
  if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) {
    PyErr_Format(PyExc_ImportError, "%s was built for Python %d.%d, not for this Python %s", name,
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, Py_GetVersion());
    return nullptr;
  }
  try {
    auto m = pybind11::module_::create_extension_module(name, nullptr, definition);
    body(m);
    return m.release().ptr();
  } catch (pybind11::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (...) {
    set_python_error();
  }
  return nullptr;
}

}  // namespace zelk::detail
