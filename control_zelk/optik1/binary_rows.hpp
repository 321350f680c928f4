// The binary images the line-following methods read row by row.
//
// The line methods only ask where the zero entries of a few rows begin and end, so the
// image of the convenience methods (Otsu binary of the grey frame, dilated twice with the
// 3×3 element) is never built whole for them: the grey frame and its histogram are made in
// one pass, and only the rows asked for are dilated.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <vector>

#include "cv_ndarray.hpp"

namespace optik1 {
namespace py = pybind11;

// First and last column of a row that hold a zero entry.
struct ZeroSpan {
  bool found = false;
  int first = 0;
  int last = 0;
};

class BinaryRows {
 public:
  virtual ~BinaryRows() = default;
  py::ssize_t rows() const { return rows_; }
  py::ssize_t cols() const { return cols_; }
  // Row y, 0 <= y < rows().
  virtual ZeroSpan zeros(py::ssize_t y) const = 0;

 protected:
  py::ssize_t rows_ = 0;
  py::ssize_t cols_ = 0;
};

// An image argument as NumPy indexes it: any dtype and channel count (bool included); an
// entry counts when it equals 0, and a zero in any channel puts its column in the span.
class ArrayRows final : public BinaryRows {
 public:
  ArrayRows(py::handle img, const char* where);
  ZeroSpan zeros(py::ssize_t y) const override;

 private:
  zelk::MatView view_;
};

// The image the convenience methods analyse, made from a colour frame.
class PreparedRows final : public BinaryRows {
 public:
  PreparedRows(py::handle frame, const char* where);
  ZeroSpan zeros(py::ssize_t y) const override;
  // The whole prepared image (for the contour search of the dotted-line test).
  cv::Mat image() const;

 private:
  zelk::MatView frame_;
  cv::Mat gray_;  // 8-bit frames: grey image and its Otsu threshold
  int thresh_ = 0;
  cv::Mat prepared_;                                    // other frames: the prepared image itself
  mutable std::vector<uchar> column_max_, low_, zero_;  // scratch of zeros()
};

}  // namespace optik1
