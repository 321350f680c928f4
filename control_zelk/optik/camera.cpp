#include "optik.hpp"

#include "py_class.hpp"
#include "py_print.hpp"

namespace optik {
namespace {

constexpr int kReads = 5;  // the first frames of a freshly polled camera are often stale

py::module_ cv2() {
  return py::module_::import("cv2");
}

void camera_init(py::object self, py::handle index) {
  self.attr("cam") = cv2().attr("VideoCapture")(index);
}

py::object read_camera(py::object self) {
  for (int i = 0; i < kReads; ++i) {
    auto [ret, img] = unpack_pair(self.attr("cam").attr("read")());
    self.attr("ret") = ret;
    self.attr("img") = img;
  }
  if (zelk::truthy(self.attr("ret"))) return self.attr("img");
  return py::none();
}

void show_image(py::object self) {
  if (zelk::truthy(self.attr("ret"))) cv2().attr("imshow")("img", self.attr("img"));
}

void close_camera(py::object self) {
  self.attr("cam").attr("release")();
}

void close_allwindows(py::object) {
  cv2().attr("destroyAllWindows")();
}

// Hooks the detector classes replace.
void no_effect(py::object, py::handle) {}

}  // namespace

std::pair<py::object, py::object> unpack_pair(py::handle obj) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (type->tp_iter == nullptr && !PySequence_Check(obj.ptr())) {
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    throw py::error_already_set();
  }
  py::iterator it = py::iter(obj);
  py::object items[2];
  for (int n = 0; n < 2; ++n, ++it) {
    if (it == py::iterator::sentinel()) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", n);
      throw py::error_already_set();
    }
    items[n] = py::reinterpret_borrow<py::object>(*it);
  }
  if (it != py::iterator::sentinel()) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw py::error_already_set();
  }
  return {items[0], items[1]};
}

py::object read_cam(py::handle cam) {
  py::object ret, frame;
  for (int i = 0; i < kReads; ++i) std::tie(ret, frame) = unpack_pair(cam.attr("read")());
  if (zelk::truthy(ret)) return py::make_tuple(ret, frame);
  return py::none();
}

void def_camera(py::module_& m) {
  zelk::def_function(m, "read_cam", &read_cam, py::arg("cam"));

  py::object camera = zelk::make_class(m, "Camera");
  zelk::def_init(camera, &camera_init, py::arg("index"));
  zelk::def_method(camera, "read_camera", &read_camera);
  zelk::def_method(camera, "show_image", &show_image);
  zelk::def_method(camera, "close_camera", &close_camera);
  zelk::def_method(camera, "close_allwindows", &close_allwindows);
  zelk::def_method(camera, "detect", &no_effect, py::arg("img"));
  zelk::def_method(camera, "recognize", &no_effect, py::arg("img"));
}

}  // namespace optik
