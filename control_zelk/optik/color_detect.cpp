#include "optik.hpp"

#include "cv_color_detect.hpp"
#include "py_class.hpp"

namespace optik {
namespace {

void color_init(py::object self, py::handle color) {
  zelk::color::init(self, color, "data");
}

// Picks the range on one picture from camera 0, opened just for this and left open.
void set_hsv(py::object self, py::handle color) {
  py::object cam = py::module_::import("cv2").attr("VideoCapture")(0);
  py::object image = unpack_pair(read_cam(cam)).second;  // no frame: TypeError from unpacking
  zelk::color::pick_range(self, image, color);
}

void getpos(py::object self, py::handle event, py::handle x, py::handle y, py::handle, py::handle) {
  zelk::color::getpos(self, event, x, y);
}

void setcolorvalue(py::object self, py::handle color, py::handle low, py::handle up) {
  zelk::color::set_range(self, color, low, up);
}

void detect(py::object self, py::handle frame) {
  zelk::color::detect(self, frame, "data");
}

// The range mask detect starts from, so that tests can hold the table kernel against
// cv2.inRange(cv2.cvtColor(...)) over every colour.
py::object range_mask(py::handle bgr, py::handle lower, py::handle upper) {
  return zelk::color::range_mask(bgr, lower, upper, "_range_mask");
}

}  // namespace

void def_color_detect(py::module_& m) {
  py::object cls = zelk::make_class(m, "color_detect", py::make_tuple(m.attr("Camera")));
  zelk::def_init(cls, &color_init, py::arg("color"));
  zelk::def_method(cls, "set_hsv", &set_hsv, py::arg("color"));
  zelk::def_method(cls, "getpos", &getpos, py::arg("event"), py::arg("x"), py::arg("y"),
                   py::arg("flags"), py::arg("param"));
  zelk::def_method(cls, "setcolorvalue", &setcolorvalue, py::arg("color"),
                   py::arg("color_list_low"), py::arg("color_list_up"));
  zelk::def_method(cls, "detect", &detect, py::arg("frame"));
  zelk::def_function(m, "_range_mask", &range_mask, py::arg("bgr"), py::arg("lower"),
                     py::arg("upper"));
}

}  // namespace optik
