#include <pybind11/pybind11.h>

#include "cv_ndarray.hpp"
#include "optik.hpp"

namespace {
namespace py = pybind11;

void init_module(py::module_& m) {
  zelk::register_cv_error_translator();
  // Library imports first, bound under the names learner programs know them by.
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pyzbar") = py::module_::import("pyzbar.pyzbar");
  m.attr("deque") = py::module_::import("collections").attr("deque");
  m.attr("sys") = py::module_::import("sys");
  optik::def_globals(m);
  optik::def_camera(m);
  optik::def_color_detect(m);
  optik::def_take_photos(m);
  optik::def_distortion(m);
}

}  // namespace

// PYBIND11_MODULE spelled out: it would re-raise a missing library's own ImportError as
// "ImportError: initialization failed"; here the learner sees the library's error itself.
PYBIND11_PLUGIN_IMPL(optik) {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  static py::module_::module_def definition;
  auto m = py::module_::create_extension_module("optik", nullptr, &definition);
  try {
    init_module(m);
    return m.ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}
