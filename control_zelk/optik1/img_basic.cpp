// Img's constructor and basic operations: windows, saving, waiting, and the in-place
// conversions (resize, erode, dilate, grey, binary). Windows and key waits go through the
// module's cv2, so they are the very windows of the learner's own cv2 calls.
#include <pybind11/pybind11.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <string>

#include "cv_ndarray.hpp"
#include "py_gil.hpp"
#include "optik1.hpp"
#include "py_names.hpp"
#include "py_text.hpp"

namespace optik1 {
namespace {

void init(py::object self, py::object img) {
  self.attr("img") = img;
  self.attr("time") = 40;
  self.attr("flag_mask") = 0;
  self.attr("flag_cap") = 0;
  self.attr("Type") = kColourType;
}

py::object cv2() {
  return zelk::global(ZELK_ID("cv2"));
}

void name_windows(py::object, py::object name) {
  zelk::check_encodable(name);
  zelk::call_method(cv2(), ZELK_ID("namedWindow"), name, py::int_(0));
}

void close_windows(py::object) {
  py::object cv = cv2();
  zelk::call_method(cv, ZELK_ID("destroyAllWindows"));
  for (int i = 0; i < 4; ++i) zelk::call_method(cv, ZELK_ID("waitKey"), py::int_(1));
}

void show_image(py::object self, py::object windows_name) {
  zelk::check_encodable(windows_name);
  py::object cv = cv2();
  zelk::call_method(cv, ZELK_ID("resizeWindow"), windows_name, py::int_(640), py::int_(480));
  zelk::call_method(cv, ZELK_ID("imshow"), windows_name, self.attr("img"));
}

void write_image(py::object self, py::handle path) {
  const std::string file = file_path(path, "write_image");
  zelk::MatView v = zelk::array_view(self.attr("img"), "write_image");
  zelk::GilReleased unlocked;
  cv::imwrite(file, v.mat);
}

void delay(py::object self, py::object time) {
  self.attr("time") = time;
  zelk::call_method(cv2(), ZELK_ID("waitKey"), time);
}

int size_item(const py::sequence& size, size_t i) {
  py::object item = size[i];
  if (PyBool_Check(item.ptr()) || !PyIndex_Check(item.ptr()))
    zelk::raise_cv_error("resize: newsize must be a (width, height) pair of integers, got " +
                         std::string(py::repr(size)));
  const auto v = PyNumber_AsSsize_t(item.ptr(), nullptr);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (v < INT_MIN || v > INT_MAX) zelk::raise_cv_error("resize: newsize out of range");
  return static_cast<int>(v);
}

void resize(py::object self, py::handle newsize) {
  if (!PySequence_Check(newsize.ptr()) || py::len(newsize) != 2)
    zelk::raise_cv_error("resize: newsize must be a (width, height) pair of integers, got " +
                         zelk::describe(newsize));
  auto size = py::reinterpret_borrow<py::sequence>(newsize);
  const cv::Size dsize(size_item(size, 0), size_item(size, 1));
  zelk::MatView v = zelk::array_view(self.attr("img"), "resize");
  cv::Mat dst = zelk::numpy_mat();
  {
    zelk::GilReleased unlocked;
    cv::resize(v.mat, dst, dsize);
  }
  self.attr("img") = result_array(dst);
}

// erode/dilate with the default 3×3 element, two passes.
template <void (*Op)(cv::InputArray, cv::OutputArray, cv::InputArray, cv::Point, int, int,
                     const cv::Scalar&)>
void morph(py::object self, const char* where) {
  zelk::MatView v = zelk::array_view(self.attr("img"), where);
  cv::Mat dst = zelk::numpy_mat();
  {
    zelk::GilReleased unlocked;
    Op(v.mat, dst, cv::Mat(), cv::Point(-1, -1), 2, cv::BORDER_CONSTANT,
       cv::morphologyDefaultBorderValue());
  }
  self.attr("img") = result_array(dst);
}

void bgr2gray(py::object self) {
  zelk::MatView v = zelk::array_view(self.attr("img"), "BGR2GRAY");
  cv::Mat dst = zelk::numpy_mat();
  {
    zelk::GilReleased unlocked;
    cv::cvtColor(v.mat, dst, cv::COLOR_BGR2GRAY);
  }
  self.attr("img") = result_array(dst);
  self.attr("Type") = kGreyType;
}

void gray2bin(py::object self) {
  zelk::MatView v = zelk::array_view(self.attr("img"), "GRAY2BIN");
  cv::Mat dst = zelk::numpy_mat();
  {
    zelk::GilReleased unlocked;
    cv::threshold(v.mat, dst, 0, 255, cv::THRESH_OTSU);
  }
  self.attr("img") = result_array(dst);
  self.attr("Type") = kBinaryType;
}

}  // namespace

py::object analysed_image(py::handle self, py::handle img) {
  if (py::len(img) == 0) return self.attr("img");
  return py::reinterpret_borrow<py::object>(img);
}

std::string file_path(py::handle path, const char* where) {
  py::object p = py::reinterpret_borrow<py::object>(path);
  if (py::hasattr(p, "__fspath__")) p = p.attr("__fspath__")();
  if (!py::isinstance<py::str>(p))
    zelk::raise_cv_error(std::string(where) + ": expected a file path (str), got " +
                         zelk::describe(path));
  return zelk::utf8(p);
}

py::object result_array(const cv::Mat& m) {
  if (m.empty()) return py::none();
  return zelk::to_array(m);
}

void add_basic_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "__init__",
             "Keeps the frame img (not copied); time = 40, flag_mask = flag_cap = 0, "
             "Type = \"彩色图\".",
             &init, py::arg("img") = py::list());
  add_method(table, cls, "name_windows", "Creates the resizable window name.", &name_windows,
             py::arg("name"));
  add_method(table, cls, "close_windows", "Closes every window (then four 1 ms key waits).",
             &close_windows);
  add_method(table, cls, "show_image", "Shows img in the window windows_name, sized 640x480.",
             &show_image, py::arg("windows_name"));
  add_method(table, cls, "write_image", "Saves img to the file path.", &write_image,
             py::arg("path"));
  add_method(table, cls, "delay", "Waits up to time ms for a key (0: until a key); sets time.",
             &delay, py::arg("time"));
  add_method(table, cls, "resize", "Resizes img in place to newsize = (width, height).", &resize,
             py::arg("newsize") = py::make_tuple(1, 1));
  add_method(table, cls, "erosion", "Erodes img in place (3x3, two passes).",
             [](py::object self) { morph<cv::erode>(self, "erosion"); });
  add_method(table, cls, "dilation", "Dilates img in place (3x3, two passes).",
             [](py::object self) { morph<cv::dilate>(self, "dilation"); });
  add_method(table, cls, "BGR2GRAY", "Converts img to grey in place; Type = \"灰度图\".",
             &bgr2gray);
  add_method(table, cls, "GRAY2BIN",
             "Binarises the grey img in place with Otsu's threshold; Type = \"二值化图\".",
             &gray2bin);
}

}  // namespace optik1
