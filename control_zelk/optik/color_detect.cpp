#include "optik.hpp"

#include "cv_color_detect.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik {
namespace {

void color_init(py::object self, py::handle color) {
  zelk::color::init(self, color, "data");
}

// Picks the range on one picture from camera 0, opened just for this and left open.
void set_hsv(py::object self, py::handle color) {
  py::object cam =
      zelk::call_method(zelk::global(ZELK_ID("cv2")), ZELK_ID("VideoCapture"), py::int_(0));
  // No frame: read_cam gives None, and unpacking it raises TypeError.
  py::object image;
  try {
    image = zelk::unpack2(zelk::call(zelk::global(ZELK_ID("read_cam")), cam)).second;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_TypeError))
      zelk::add_note(e.value(),
                     "Camera 0 gave no picture: is a camera connected? Without one, run the "
                     "program on the simulator: zelk-run-on-sim PROGRAM.py");
    throw;
  }
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

}  // namespace

void def_color_detect(py::module_& m) {
  py::object cls = zelk::make_class(
      m, "color_detect", "Finds the largest patch of one colour (an HSV range) in a frame.",
      py::make_tuple(m.attr("Camera")));
  zelk::def(cls, "__init__",
            "Takes the HSV range of the named colour from the table; data = \"none\", an empty "
            "track pts of 16 centres.",
            &color_init, py::arg("color"));
  zelk::def(cls, "set_hsv",
            "Shows a picture from camera 0 and its HSV version; clicked pixels (until a key) set "
            "the range, labelled color.",
            &set_hsv, py::arg("color"));
  zelk::def(cls, "getpos",
            "Mouse callback: on a left click prints the HSV pixel and widens the running "
            "minima and maxima.",
            &getpos, py::arg("event"), py::arg("x"), py::arg("y"), py::arg("flags"),
            py::arg("param"));
  zelk::def(cls, "setcolorvalue",
            "Sets the range to the lists color_list_low and color_list_up, labelled color, and "
            "prints it.",
            &setcolorvalue, py::arg("color"), py::arg("color_list_low"), py::arg("color_list_up"));
  zelk::def(cls, "detect",
            "Finds the largest patch of the range in frame: sets data (the label, "
            "\"other_color\" or \"none\"), x, y, radius, img_new and the track pts.",
            &detect, py::arg("frame"));
}

}  // namespace optik
