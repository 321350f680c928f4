#include <pybind11/pybind11.h>

#include "cv_ndarray.hpp"
#include "optik.hpp"
#include "py_kit_globals.hpp"
#include "py_module.hpp"
#include "py_names.hpp"

namespace py = pybind11;

ZELK_MODULE(optik, m) {
  m.doc() = "Camera capture and one detector class per vision task.";
  zelk::bind_module(m);
  zelk::register_cv_error_translator();
  // Library imports first, bound under the names learner programs know them by.
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pyzbar") = py::module_::import("pyzbar.pyzbar");
  m.attr("deque") = py::module_::import("collections").attr("deque");
  m.attr("sys") = py::module_::import("sys");
  zelk::def_kit_globals(m);
  optik::def_camera(m);
  optik::def_face_detect(m);
  optik::def_color_detect(m);
  optik::def_erweima_recognize(m);
  optik::def_model_recognize(m);
  optik::def_take_photos(m);
  optik::def_distortion(m);
}
