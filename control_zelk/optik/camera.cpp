// read_cam and Camera, the base class of the detector classes. The capture device is cv2's
// own VideoCapture object; windows go through the module's cv2.
#include "optik.hpp"

#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_text.hpp"

namespace optik {
namespace {

constexpr int kReads = 5;  // the first frames of a freshly polled camera are often stale

py::object cv2() {
  return zelk::global(ZELK_ID("cv2"));
}

void camera_init(py::object self, py::handle index) {
  zelk::check_encodable(index);
  self.attr("cam") = zelk::call_method(cv2(), ZELK_ID("VideoCapture"), index);
}

py::object read_camera(py::object self) {
  for (int i = 0; i < kReads; ++i) {
    auto [ret, img] = zelk::unpack2(zelk::call_method(self.attr("cam"), ZELK_ID("read")));
    self.attr("ret") = ret;
    self.attr("img") = img;
  }
  if (zelk::truthy(self.attr("ret"))) return self.attr("img");
  return py::none();
}

void show_image(py::object self) {
  if (zelk::truthy(self.attr("ret")))
    zelk::call_method(cv2(), ZELK_ID("imshow"), py::str("img"), self.attr("img"));
}

void close_camera(py::object self) {
  zelk::call_method(self.attr("cam"), ZELK_ID("release"));
}

void close_allwindows(py::object) {
  zelk::call_method(cv2(), ZELK_ID("destroyAllWindows"));
}

// Hooks the detector classes replace.
void no_effect(py::object, py::handle) {}

py::object read_cam(py::handle cam) {
  py::object ret, frame;
  for (int i = 0; i < kReads; ++i)
    std::tie(ret, frame) = zelk::unpack2(zelk::call_method(cam, ZELK_ID("read")));
  if (zelk::truthy(ret)) return py::make_tuple(ret, frame);
  return py::none();
}

}  // namespace

void def_camera(py::module_& m) {
  zelk::def(m, "read_cam",
            "Reads five frames from cam and returns the fifth (flag, frame) pair when its flag "
            "is true, else None.",
            &read_cam, py::arg("cam"));

  py::object camera = zelk::make_class(m, "Camera", "One camera, opened by its index.");
  zelk::def(camera, "__init__", "Opens the camera: cam = cv2.VideoCapture(index).", &camera_init,
            py::arg("index"));
  zelk::def(camera, "read_camera",
            "Reads five frames, keeps the fifth in ret and img; returns img, or None when that "
            "read failed.",
            &read_camera);
  zelk::def(camera, "show_image", "Shows img in the window \"img\" when ret is true.", &show_image);
  zelk::def(camera, "close_camera", "Releases the camera.", &close_camera);
  zelk::def(camera, "close_allwindows", "Closes every window.", &close_allwindows);
  zelk::def(camera, "detect", "Does nothing; the detector classes replace it.", &no_effect,
            py::arg("img"));
  zelk::def(camera, "recognize", "Does nothing; the detector classes replace it.", &no_effect,
            py::arg("img"));
}

}  // namespace optik
