// The binary images the line-following methods read row by row.
//
// The line methods only ask where the zero entries of a few rows begin and end, so the
// image of the convenience methods (Otsu binary of the grey frame, dilated twice with the
// 3×3 element) is never built whole for them: one pass over the frame counts its grey
// values without storing them, and only the rows asked for are converted and dilated.
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

// The image the convenience methods analyse, made from a colour frame. For 8-bit BGR(A)
// frames only the Otsu threshold is computed up front: the grey image is not stored (unless
// the grey conversion falls back to cv::cvtColor), zeros() converts the five rows around
// the row asked for, and image() converts the whole frame.
class PreparedRows final : public BinaryRows {
 public:
  // many_rows: most rows (or the whole image) will be read, so the grey image is kept
  // rather than converted again row by row.
  PreparedRows(py::handle frame, const char* where, bool many_rows = false);
  ZeroSpan zeros(py::ssize_t y) const override;
  // The whole prepared image (for the contour search of the dotted-line test).
  cv::Mat image() const;

 private:
  // Grey values of frame row r: a row of gray_ when it was stored, else converted into
  // grey_row_.
  const uchar* grey(int r) const;

  zelk::MatView frame_;
  bool eight_bit_ = false;  // an 8-bit BGR(A) frame: thresh_ is its Otsu threshold
  cv::Mat gray_;            // its grey image, when stored by the fallback
  int thresh_ = 0;
  cv::Mat prepared_;  // other frames: the prepared image itself
  mutable std::vector<uchar> column_max_, low_, zero_, grey_row_;  // scratch of zeros()
};

}  // namespace optik1
