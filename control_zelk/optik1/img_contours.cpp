// Blobs and shapes: the large outer contours of a binary image, the shape test, centroid and
// drawing. Shape names are the Chinese texts learners compare against.
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>

#include "cv_ndarray.hpp"
#include "optik1.hpp"
#include "py_ops.hpp"

namespace optik1 {
namespace {

const char* const kCircle = "圆形";
const char* const kTriangle = "三角形";
const char* const kSquare = "正方形";
const char* const kRectangle = "长方形";
const char* const kUnknown = "未知形状";

double cnt_area(py::object, py::handle cnt) {
  return cv::contourArea(zelk::contour_view(cnt, "cnt_area").mat);
}

py::list bin_detect(py::object self, py::handle img) {
  zelk::MatView v = zelk::array_view(analysed_image(self, img), "bin_detect");
  std::vector<std::vector<cv::Point>> contours;
  {
    zelk::Unlocked unlocked;
    contours = large_contours(v.mat);
  }
  return zelk::contours_to_list(contours);
}

const char* shape_name(const cv::Mat& c) {
  const double peri = cv::arcLength(c, true);
  cv::Mat approx;
  cv::approxPolyDP(c, approx, 0.04 * peri, true);
  const size_t vertices = approx.total();
  const double r1 = peri / 6.2;
  const double r2 = std::pow(cv::contourArea(c) / 3.14, 0.5);
  if (std::abs(r1 - r2) < 0.22 * r1 && vertices > 4) return kCircle;
  if (vertices == 3) return kTriangle;
  if (vertices == 4) {
    const cv::Rect box = cv::boundingRect(approx);
    if (box.height == 0) zelk::raise_float_division_by_zero();
    const double ar = box.width / static_cast<double>(box.height);
    return ar >= 0.95 && ar <= 1.05 ? kSquare : kRectangle;
  }
  return kUnknown;
}

bool detect(py::object, py::handle c, py::handle shape) {
  const char* name = shape_name(zelk::contour_view(c, "detect").mat);
  return zelk::eq(py::str(name), shape);
}

// Centroid truncated toward zero, as int(M["m10"] / M["m00"]) in Python.
py::list centroid(const cv::Mat& c) {
  const auto [cx, cy] = zelk::centroid(cv::moments(c));
  py::list xy;
  xy.append(cx);
  xy.append(cy);
  return xy;
}

py::list cnt_center(py::object, py::handle c) {
  return centroid(zelk::contour_view(c, "cnt_center").mat);
}

void cnt_draw(py::object self, py::handle c, py::handle shape) {
  zelk::MatView contour = zelk::contour_view(c, "cnt_draw");
  py::list xy = centroid(contour.mat);
  zelk::MatView img = zelk::array_view(self.attr("img"), "cnt_draw", true);
  const cv::Scalar green(0, 255, 0);
  cv::drawContours(img.mat, std::vector<cv::Mat>{contour.mat}, -1, green, 2);
  int x = 0, y = 0;
  const char* text = nullptr;
  Py_ssize_t length = 0;
  if (PyUnicode_Check(shape.ptr())) {
    // A text UTF-8 cannot hold (lone surrogates) raises the interpreter's UnicodeEncodeError:
    // cv2.putText itself would crash on it.
    text = PyUnicode_AsUTF8AndSize(shape.ptr(), &length);
    if (text == nullptr) throw py::error_already_set();
  }
  if (text == nullptr || !zelk::c_int(xy[0], &x) || !zelk::c_int(xy[1], &y)) {
    // What OpenCV's text drawing cannot take natively goes to cv2.putText itself.
    zelk::call_method(zelk::global(ZELK_ID("cv2")), ZELK_ID("putText"), self.attr("img"), shape,
                      py::make_tuple(xy[0], xy[1]), py::int_(0), py::int_(2),
                      py::make_tuple(0, 255, 0), py::int_(3));
    return;
  }
  cv::putText(img.mat, std::string(text, static_cast<std::size_t>(length)), cv::Point(x, y), 0, 2,
              green, 3);
}

}  // namespace

std::vector<std::vector<cv::Point>> large_contours(const cv::Mat& binary) {
  std::vector<std::vector<cv::Point>> all;
  cv::findContours(binary, all, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<std::vector<cv::Point>> large;
  for (auto& c : all)
    if (cv::contourArea(c) > 2000) large.push_back(std::move(c));
  return large;
}

void add_contour_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "cnt_area", "Area of the contour cnt in pixels (cv2.contourArea).",
             &cnt_area, py::arg("cnt"));
  add_method(table, cls, "detect",
             "True when the contour c has the shape named Shape: \"圆形\", \"三角形\", "
             "\"正方形\" or \"长方形\" (circle, triangle, square, rectangle).",
             &detect, py::arg("c"), py::arg("Shape"));
  add_method(table, cls, "bin_detect",
             "The outer contours of the binary img (empty: the object's img) whose area exceeds "
             "2000 pixels.",
             &bin_detect, py::arg("img") = py::list());
  add_method(table, cls, "cnt_draw",
             "Draws the contour c in green on img and writes the text shape at its centre.",
             &cnt_draw, py::arg("c"), py::arg("shape"));
  add_method(table, cls, "cnt_center", "The centre [cx, cy] of the contour c (its centroid).",
             &cnt_center, py::arg("c"));
}

}  // namespace optik1
