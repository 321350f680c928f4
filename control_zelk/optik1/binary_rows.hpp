// The binary images the line-following methods read row by row.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

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
  cv::Mat image() const { return prepared_; }

 private:
  zelk::MatView frame_;
  cv::Mat prepared_;
};

}  // namespace optik1
