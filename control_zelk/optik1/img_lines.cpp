// Line following: offset of the dark line from the image centre, its tilt, its presence and
// the dotted-line test; the base set analyses a binary image (line pixels are 0), the
// convenience set prepares one from the object's colour frame.
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>

#include "binary_rows.hpp"
#include "optik1.hpp"
#include "py_gil.hpp"
#include "py_ops.hpp"

namespace optik1 {
namespace {

long long floor_div(long long a, long long b) {
  const long long q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Row y of `img` (h rows) as img[y] picks it: y = -1 means the middle row, other negative
// values count from the bottom. Anything NumPy would refuse is handed to NumPy, which raises
// its own error.
py::ssize_t row_argument(py::handle img, py::handle y, py::ssize_t h) {
  py::ssize_t i = h / 2;
  bool valid = zelk::eq(y, py::int_(-1));
  if (!valid && PyIndex_Check(y.ptr()) && !PyBool_Check(y.ptr())) {
    i = PyNumber_AsSsize_t(y.ptr(), nullptr);  // saturates: out of range either way
    valid = true;
  }
  if (valid && i >= -h && i < h) return i < 0 ? i + h : i;
  const py::object index = valid ? py::object(py::int_(i)) : py::reinterpret_borrow<py::object>(y);
  py::object(py::reinterpret_borrow<py::object>(img)[index]);  // raises NumPy's IndexError
  throw py::type_error("the row index must be an integer");
}

// Midpoint of the leftmost and rightmost line pixel of the row minus the centre column,
// truncated toward zero; 0 when the row holds no line pixel.
long long row_offset(const BinaryRows& image, py::ssize_t y) {
  const ZeroSpan s = image.zeros(y);
  if (!s.found) return 0;
  return (s.first + s.last - 2 * (image.cols() / 2)) / 2;
}

// Mean offset of every 10th row of the upper half against that of the lower half; the image
// has at least 2 rows. Touches no Python object.
long long angle(const BinaryRows& image) {
  const py::ssize_t h = image.rows();
  long long up = 0, down = 0, n_up = 0, n_down = 0;
  for (py::ssize_t i = 0; i < h / 2; i += 10, ++n_up) up += row_offset(image, i);
  for (py::ssize_t i = h / 2; i < h; i += 10, ++n_down) down += row_offset(image, i);
  return floor_div(floor_div(up, n_up) - floor_div(down, n_down), 180);
}

// angle() without the GIL; an image of fewer than 2 rows has no upper half, and the mean of
// its offsets divides by zero.
long long checked_angle(const BinaryRows& image) {
  if (image.rows() / 2 == 0) zelk::raise_integer_division_by_zero();
  zelk::GilReleased unlocked;
  return angle(image);
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
  const py::object image_obj = analysed_image(self, img);
  const ArrayRows image(image_obj, "offset_calculate1");
  return row_offset(image, row_argument(image_obj, y, image.rows()));
}

long long line_angle1(py::object self, py::handle img) {
  return checked_angle(ArrayRows(analysed_image(self, img), "line_angle1"));
}

bool offset1(py::object self, py::handle img) {
  const py::object image_obj = analysed_image(self, img);
  const ArrayRows image(image_obj, "offset1");
  return image.zeros(row_argument(image_obj, py::int_(image.rows() / 2), image.rows())).found;
}

bool dotted_line1(py::object self, py::handle img) {
  const zelk::MatView v = zelk::array_view(analysed_image(self, img), "dotted_line1");
  zelk::GilReleased unlocked;
  return dotted(large_contours(v.mat));
}

long long offset_calculate2(py::object self) {
  const PreparedRows image(self.attr("img"), "offset_calculate2");
  return row_offset(image, image.rows() / 2);
}

long long line_angle2(py::object self) {
  return checked_angle(PreparedRows(self.attr("img"), "line_angle2", true));
}

bool offset2(py::object self) {
  const PreparedRows image(self.attr("img"), "offset2");
  return image.zeros(image.rows() / 2).found;
}

bool dotted_line2(py::object self) {
  const PreparedRows image(self.attr("img"), "dotted_line2", true);
  zelk::GilReleased unlocked;
  return dotted(large_contours(image.image()));
}

}  // namespace

void add_line_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "offset_calculate1",
             "Offset in pixels of the line (its 0 pixels) in row y (-1: the middle row) of the "
             "binary img (empty: the object's img) from the centre column; 0 without a line.",
             &offset_calculate1, py::arg("y") = -1, py::arg("img") = py::list());
  add_method(table, cls, "line_angle1",
             "Tilt value of the line in the binary img (empty: the object's img): mean offset "
             "of the upper half minus the lower half, floor-divided by 180.",
             &line_angle1, py::arg("img") = py::list());
  add_method(table, cls, "offset1",
             "True when the middle row of the binary img (empty: the object's img) holds a line "
             "pixel (0).",
             &offset1, py::arg("img") = py::list());
  add_method(table, cls, "dotted_line1",
             "True for a dotted line: two or more blobs over 3000 pixels whose centre columns "
             "spread by at most 150 (standard deviation).",
             &dotted_line1, py::arg("img") = py::list());
  add_method(table, cls, "offset_calculate2",
             "offset_calculate1 of the middle row of the prepared frame (Otsu binary of the "
             "grey img, dilated twice).",
             &offset_calculate2);
  add_method(table, cls, "line_angle2", "line_angle1 of the prepared frame.", &line_angle2);
  add_method(table, cls, "offset2", "offset1 of the prepared frame: is there a line?", &offset2);
  add_method(table, cls, "dotted_line2", "dotted_line1 of the prepared frame.", &dotted_line2);
}

}  // namespace optik1
