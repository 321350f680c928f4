// The small classes beside Img: the empty base Assist_converse, the file reader pic_read and
// Camera, whose capture device is cv2's own VideoCapture object.
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>

#include "cv_ndarray.hpp"
#include "py_gil.hpp"
#include "optik1.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"
#include "py_text.hpp"

namespace optik1 {
namespace {

py::object pic_read(py::handle path) {
  const std::string file = file_path(path, "pic_read");
  cv::Mat image;
  {
    zelk::GilReleased unlocked;
    image = cv::imread(file);
  }
  return result_array(image);
}

void camera_init(py::object self, py::handle num) {
  zelk::check_encodable(num);
  self.attr("img") = py::list();
  self.attr("cam") = zelk::call_method(zelk::global(ZELK_ID("cv2")), ZELK_ID("VideoCapture"), num);
}

py::object read_camera(py::object self) {
  auto [ret, img] = zelk::unpack2(zelk::call_method(self.attr("cam"), ZELK_ID("read")));
  self.attr("ret") = ret;
  self.attr("img") = img;
  if (zelk::truthy(ret)) return img;
  zelk::print(ZELK_ID("未检测到摄像头，请注意摄像头是否接触不良或者未设置允许摄像头"));
  return py::none();
}

void close_camera(py::object self) {
  zelk::call_method(self.attr("cam"), ZELK_ID("release"));
}

}  // namespace

void add_assist_converse(py::module_& m) {
  py::object cls = zelk::make_class(m, "Assist_converse", "An empty base class of Img.");
  zelk::def(cls, "__init__", "Does nothing.", [](py::object) {});
}

void add_pic_read(py::module_& m) {
  zelk::def(m, "pic_read", "Reads the colour picture at path; None when it cannot be read.",
            &pic_read, py::arg("path"));
}

void add_camera(py::module_& m) {
  py::object cls = zelk::make_class(m, "Camera", "A camera opened by its index.");
  zelk::def(cls, "__init__", "Opens camera num (cam = cv2.VideoCapture(num)); img = [].",
            &camera_init, py::arg("num") = 0);
  zelk::def(cls, "read_camera",
            "Reads one frame into ret and img and returns it; prints a hint and returns None "
            "when the camera gives none.",
            &read_camera);
  zelk::def(cls, "close_camera", "Releases the camera.", &close_camera);
}

}  // namespace optik1
