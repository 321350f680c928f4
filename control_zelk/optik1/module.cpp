// control_zelk.optik1: the module's globals and tables, then its classes, in the order a
// learner's program sees them after `import control_zelk.optik1`.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "cv_ndarray.hpp"
#include "optik1.hpp"
#include "py_class.hpp"
#include "py_kit_globals.hpp"
#include "py_module.hpp"
#include "py_names.hpp"

namespace optik1 {
namespace {

// Img's methods in class order; the source files only provide them.
// clang-format off
constexpr const char* kImgMethodOrder[] = {
    "__init__", "name_windows", "close_windows", "show_image", "write_image", "delay", "resize",
    "extract_color",
    "erosion", "dilation", "BGR2GRAY", "GRAY2BIN",
    "offset_calculate1", "line_angle1", "offset1", "dotted_line1",
    "offset_calculate2", "line_angle2", "offset2", "dotted_line2",
    "cnt_area", "detect", "bin_detect", "cnt_draw", "cnt_center",
    "face_detect", "face_cap", "face_mask", "decodeDisplay", "erweima_detect",
    "model_", "onnx_detect_new", "model_recognize",
    "color_detect_init", "set_hsv", "getpos", "setcolorvalue", "color_detect",
    "beauty_face",
};
// clang-format on

void set_globals(py::module_& m) {
  m.attr("np") = py::module_::import("numpy");
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("imutils") = py::module_::import("imutils");
  m.attr("pyzbar") = py::module_::import("pyzbar.pyzbar");
  m.attr("deque") = py::module_::import("collections").attr("deque");
  m.attr("sys") = py::module_::import("sys");
  m.attr("time") = py::module_::import("time");
  zelk::def_kit_globals(m);
}

void add_img(py::module_& m) {
  py::object cls = zelk::make_class(m, "Img", "One camera frame and the vision work done on it.",
                                    py::make_tuple(m.attr("Assist_converse")));
  MethodTable methods;
  add_basic_methods(cls, methods);
  add_line_methods(cls, methods);
  add_contour_methods(cls, methods);
  add_color_methods(cls, methods);
  add_face_methods(cls, methods);
  add_code_methods(cls, methods);
  add_model_methods(cls, methods);
  for (const char* name : kImgMethodOrder) {
    auto it = methods.find(name);
    if (it == methods.end()) throw std::logic_error(std::string("Img method missing: ") + name);
    cls.attr(name) = it->second;
    methods.erase(it);
  }
  if (!methods.empty())
    throw std::logic_error("Img method without a place in the class order: " +
                           methods.begin()->first);
}

}  // namespace
}  // namespace optik1

ZELK_MODULE(optik1, m) {
  m.doc() = "The image class Img: conversions, line following, contours and shapes, colour.";
  zelk::bind_module(m);
  zelk::register_cv_error_translator();
  optik1::set_globals(m);
  optik1::add_assist_converse(m);
  optik1::add_pic_read(m);
  optik1::add_camera(m);
  optik1::add_img(m);
  optik1::add_demos(m);
}
