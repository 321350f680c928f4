// Colour detection on the object's own frame, through the colour core that optik's
// color_detect uses too; Img reports in color_data.
#include <pybind11/pybind11.h>

#include "cv_color_detect.hpp"
#include "optik1.hpp"
#include "py_names.hpp"

namespace optik1 {
namespace {

const char* const kResult = "color_data";

void color_detect_init(py::object self, py::handle color) {
  zelk::color::init(self, color, kResult);
}

void set_hsv(py::object self, py::handle color) {
  zelk::color::pick_range(self, self.attr("img"), color);
}

void getpos(py::object self, py::handle event, py::handle x, py::handle y, py::handle, py::handle) {
  zelk::color::getpos(self, event, x, y);
}

void setcolorvalue(py::object self, py::handle color, py::handle low, py::handle up) {
  zelk::color::set_range(self, color, low, up);
}

void color_detect(py::object self) {
  zelk::color::detect(self, self.attr("img"), kResult);
}

void extract_color(py::object self, py::handle lower_hsv, py::handle upper_hsv) {
  py::object np = zelk::global(ZELK_ID("np"));
  self.attr("img") =
      zelk::color::range_mask(self.attr("img"), zelk::call_method(np, ZELK_ID("array"), lower_hsv),
                              zelk::call_method(np, ZELK_ID("array"), upper_hsv), "extract_color");
  self.attr("Type") = kBinaryType;
}

}  // namespace

void add_color_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "extract_color",
             "Replaces img by its mask of the HSV range lower_hsv..upper_hsv (255 inside); "
             "Type = \"二值化图\".",
             &extract_color, py::arg("lower_hsv"), py::arg("upper_hsv"));
  add_method(table, cls, "color_detect_init",
             "Chooses the named colour's HSV range; color_data = \"none\", an empty track pts "
             "of 16 centres.",
             &color_detect_init, py::arg("color"));
  add_method(table, cls, "set_hsv",
             "Shows img and its HSV version; clicked pixels (until a key) set the range, "
             "labelled color.",
             &set_hsv, py::arg("color"));
  add_method(table, cls, "getpos",
             "Mouse callback: on a left click prints the HSV pixel and widens the running "
             "minima and maxima.",
             &getpos, py::arg("event"), py::arg("x"), py::arg("y"), py::arg("flags"),
             py::arg("param"));
  add_method(table, cls, "setcolorvalue",
             "Sets the range to the lists color_list_low and color_list_up, labelled color, and "
             "prints it.",
             &setcolorvalue, py::arg("color"), py::arg("color_list_low"), py::arg("color_list_up"));
  add_method(table, cls, "color_detect",
             "Finds the largest patch of the range in img: sets color_data (the label, "
             "\"other_color\" or \"none\"), x, y, radius, img_new and the track pts.",
             &color_detect);
}

}  // namespace optik1
