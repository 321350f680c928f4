// The small classes beside Img: the empty base Assist_converse, the file reader pic_read and
// Camera, whose capture device is cv2's own VideoCapture object.
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>

#include "cv_ndarray.hpp"
#include "optik1.hpp"
#include "py_class.hpp"
#include "py_print.hpp"

namespace optik1 {
namespace {

py::object pic_read(py::handle path) {
  return result_array(cv::imread(file_path(path, "pic_read")));
}

void camera_init(py::object self, py::handle num) {
  self.attr("img") = py::list();
  self.attr("cam") = module_global("cv2").attr("VideoCapture")(num);
}

py::object read_camera(py::object self) {
  py::tuple got(self.attr("cam").attr("read")());
  if (got.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
  if (got.size() < 2)
    throw py::value_error("not enough values to unpack (expected 2, got " +
                          std::to_string(got.size()) + ")");
  self.attr("ret") = got[0];
  self.attr("img") = got[1];
  if (zelk::truthy(got[0])) return got[1];
  zelk::print("未检测到摄像头，请注意摄像头是否接触不良或者未设置允许摄像头");
  return py::none();
}

void close_camera(py::object self) {
  self.attr("cam").attr("release")();
}

}  // namespace

void add_assist_converse(py::module_& m) {
  py::object cls = zelk::make_class(m, "Assist_converse");
  zelk::def_init(cls, [](py::object) {});
}

void add_pic_read(py::module_& m) {
  zelk::def_function(m, "pic_read", &pic_read, py::arg("path"));
}

void add_camera(py::module_& m) {
  py::object cls = zelk::make_class(m, "Camera", py::tuple(), "A camera opened by its index.");
  zelk::def_init(cls, &camera_init, py::arg("num") = 0);
  zelk::def_method(cls, "read_camera", &read_camera);
  zelk::def_method(cls, "close_camera", &close_camera);
}

}  // namespace optik1
