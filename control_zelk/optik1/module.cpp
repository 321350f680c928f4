// control_zelk.optik1: the module's globals and tables, then its classes, in the order a
// learner's program sees them after `import control_zelk.optik1`.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "cv_ndarray.hpp"
#include "optik1.hpp"
#include "py_class.hpp"
#include "py_module.hpp"

namespace optik1 {
namespace {

PyObject* the_module = nullptr;

// Img's methods in class order; the source files only provide them.
// clang-format off
constexpr const char* kImgMethodOrder[] = {
    "__init__", "name_windows", "close_windows", "show_image", "write_image", "delay", "resize",
    "extract_color",
    "erosion", "dilation", "BGR2GRAY", "GRAY2BIN",
    "offset_calculate1", "line_angle1", "offset1", "dotted_line1",
    "offset_calculate2", "line_angle2", "offset2", "dotted_line2",
    "cnt_area", "detect", "bin_detect", "cnt_draw", "cnt_center",
    "color_detect_init", "set_hsv", "getpos", "setcolorvalue", "color_detect",
};
// clang-format on

py::dict int_keyed(std::initializer_list<std::pair<int, const char*>> items) {
  py::dict d;
  for (const auto& [key, text] : items) d[py::int_(key)] = py::str(text);
  return d;
}

void set_globals(py::module_& m) {
  m.attr("np") = py::module_::import("numpy");
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("imutils") = py::module_::import("imutils");
  m.attr("pyzbar") = py::module_::import("pyzbar.pyzbar");
  m.attr("deque") = py::module_::import("collections").attr("deque");
  py::module_ sys = py::module_::import("sys");
  m.attr("sys") = sys;
  m.attr("time") = py::module_::import("time");

  py::object platform = sys.attr("platform");
  m.attr("system_platform") = platform;
  // A plain substring test: win32, cygwin and darwin all choose the relative kit folder.
  const bool win = py::str(platform).cast<std::string>().find("win") != std::string::npos;
  const std::string main_path = win ? "class/" : "/home/pi/class/";
  m.attr("main_path") = main_path;
  m.attr("picture_path") = main_path + "picture/";
  m.attr("model_path") = main_path + "model/";
  m.attr("d_path") = main_path + "camera_pos/";

  m.attr("items_num") = int_keyed(
      {{0, "9"}, {1, "1"}, {2, "2"}, {3, "3"}, {4, "4"}, {5, "5"}, {6, "6"}, {7, "7"}, {8, "8"}});
  m.attr("items_dir") = int_keyed({{9, "左转"}, {10, "右转"}});
  m.attr("items_label") = int_keyed({{11, "语音"}});
  m.attr("items_laji") = int_keyed({{0, "易拉罐"},
                                    {1, "纸团"},
                                    {2, "塑料瓶"},
                                    {3, "电池"},
                                    {4, "报纸"},
                                    {5, "灯泡"},
                                    {6, "花生壳"},
                                    {7, "香蕉皮"}});
}

void add_img(py::module_& m) {
  py::object cls = zelk::make_class(m, "Img", py::make_tuple(m.attr("Assist_converse")),
                                    "One camera frame and the vision work done on it.");
  MethodTable methods;
  add_basic_methods(cls, methods);
  add_line_methods(cls, methods);
  add_contour_methods(cls, methods);
  add_color_methods(cls, methods);
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

void remember_module(py::module_& m) {
  the_module = zelk::keep_forever(m);
}

py::object module_global(const char* name) {
  return py::handle(the_module).attr(name);
}

}  // namespace optik1

ZELK_MODULE(optik1, m) {
  zelk::register_cv_error_translator();
  optik1::remember_module(m);
  optik1::set_globals(m);
  optik1::add_assist_converse(m);
  optik1::add_pic_read(m);
  optik1::add_camera(m);
  optik1::add_img(m);
}
