// Line following: offset of the dark line from the image centre, its tilt, its presence and
// the dotted-line test; the base set analyses a binary image (line pixels are 0), the
// convenience set prepares one from the object's colour frame.
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>

#include "binary_rows.hpp"
#include "optik1.hpp"
#include "py_print.hpp"

namespace optik1 {
namespace {

long long floor_div(long long a, long long b) {
  const long long q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Row y of an image of h rows, with NumPy's indexing rules and errors.
py::ssize_t row_at(py::ssize_t y, py::ssize_t h) {
  if (y < -h || y >= h)
    throw py::index_error("index " + std::to_string(y) + " is out of bounds for axis 0 with size " +
                          std::to_string(h));
  return y < 0 ? y + h : y;
}

py::ssize_t row_argument(py::handle y, py::ssize_t h) {
  if (zelk::eq(y, py::int_(-1))) return row_at(h / 2, h);
  if (!PyIndex_Check(y.ptr()))
    throw py::index_error(
        "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or "
        "boolean arrays are valid indices");
  const py::ssize_t i = PyNumber_AsSsize_t(y.ptr(), PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  return row_at(i, h);
}

// Midpoint of the leftmost and rightmost line pixel of the row minus the centre column,
// truncated toward zero; 0 when the row holds no line pixel.
long long row_offset(const BinaryRows& image, py::ssize_t y) {
  const ZeroSpan s = image.zeros(y);
  if (!s.found) return 0;
  return (s.first + s.last - 2 * (image.cols() / 2)) / 2;
}

// Mean offset of every 10th row of the upper half against that of the lower half.
long long angle(const BinaryRows& image) {
  const py::ssize_t h = image.rows();
  if (h / 2 == 0) raise_zero_division("integer division or modulo by zero");
  long long up = 0, down = 0, n_up = 0, n_down = 0;
  for (py::ssize_t i = 0; i < h / 2; i += 10, ++n_up) up += row_offset(image, i);
  for (py::ssize_t i = h / 2; i < h; i += 10, ++n_down) down += row_offset(image, i);
  return floor_div(floor_div(up, n_up) - floor_div(down, n_down), 180);
}

bool middle_row_has_line(const BinaryRows& image) {
  return image.zeros(row_at(image.rows() / 2, image.rows())).found;
}

// Dotted when at least two regions exceed 3000 pixels and the population standard deviation
// of their centroid columns is at most 150.
bool dotted(const std::vector<std::vector<cv::Point>>& contours) {
  std::vector<double> columns;
  for (const auto& c : contours) {
    if (!(cv::contourArea(c) > 3000)) continue;
    const cv::Moments m = cv::moments(c);
    columns.push_back(std::trunc(m.m10 / m.m00));
  }
  if (columns.size() < 2) return false;
  const auto n = static_cast<double>(columns.size());
  double sum = 0;
  for (double x : columns) sum += x;
  const double mean = sum / n;
  double squares = 0;
  for (double x : columns) squares += (x - mean) * (x - mean);
  return !(std::sqrt(squares / n) > 150);
}

long long offset_calculate1(py::object self, py::handle y, py::handle img) {
  const ArrayRows image(analysed_image(self, img), "offset_calculate1");
  return row_offset(image, row_argument(y, image.rows()));
}

long long line_angle1(py::object self, py::handle img) {
  return angle(ArrayRows(analysed_image(self, img), "line_angle1"));
}

bool offset1(py::object self, py::handle img) {
  return middle_row_has_line(ArrayRows(analysed_image(self, img), "offset1"));
}

bool dotted_line1(py::object self, py::handle img) {
  const zelk::MatView v = zelk::array_view(analysed_image(self, img), "dotted_line1");
  return dotted(large_contours(v.mat));
}

long long offset_calculate2(py::object self) {
  const PreparedRows image(self.attr("img"), "offset_calculate2");
  return row_offset(image, image.rows() / 2);
}

long long line_angle2(py::object self) {
  return angle(PreparedRows(self.attr("img"), "line_angle2", true));
}

bool offset2(py::object self) {
  return middle_row_has_line(PreparedRows(self.attr("img"), "offset2"));
}

bool dotted_line2(py::object self) {
  return dotted(large_contours(PreparedRows(self.attr("img"), "dotted_line2", true).image()));
}

}  // namespace

void add_line_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "offset_calculate1", &offset_calculate1, py::arg("y") = -1,
             py::arg("img") = py::list());
  add_method(table, cls, "line_angle1", &line_angle1, py::arg("img") = py::list());
  add_method(table, cls, "offset1", &offset1, py::arg("img") = py::list());
  add_method(table, cls, "dotted_line1", &dotted_line1, py::arg("img") = py::list());
  add_method(table, cls, "offset_calculate2", &offset_calculate2);
  add_method(table, cls, "line_angle2", &line_angle2);
  add_method(table, cls, "offset2", &offset2);
  add_method(table, cls, "dotted_line2", &dotted_line2);
}

}  // namespace optik1
