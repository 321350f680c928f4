#include "binary_rows.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "grey_conversion.hpp"
#include "grey_histogram.hpp"
#include "py_names.hpp"

namespace optik1 {
namespace {

template <typename T>
ZeroSpan zero_span_of(const T* p, size_t n, size_t cn) {
  size_t i = 0;
  while (i < n && p[i] != 0) ++i;
  if (i == n) return {};
  size_t j = n - 1;
  while (p[j] != 0) --j;
  return {true, static_cast<int>(i / cn), static_cast<int>(j / cn)};
}

ZeroSpan zero_span(const cv::Mat& m, int y) {
  if (m.empty()) return {};
  const size_t cn = static_cast<size_t>(m.channels());
  const size_t n = static_cast<size_t>(m.cols) * cn;
  switch (m.depth()) {
    case CV_8U:
    case CV_8S: {
      const auto* p = m.ptr<uchar>(y);
      const void* first = std::memchr(p, 0, static_cast<size_t>(n));
      if (first == nullptr) return {};
      const void* last = memrchr(p, 0, static_cast<size_t>(n));
      const auto column = [&](const void* at) {
        return static_cast<int>(static_cast<size_t>(static_cast<const uchar*>(at) - p) / cn);
      };
      return {true, column(first), column(last)};
    }
    case CV_16U:
      return zero_span_of(m.ptr<uint16_t>(y), n, cn);
    case CV_16S:
      return zero_span_of(m.ptr<int16_t>(y), n, cn);
    case CV_32S:
      return zero_span_of(m.ptr<int32_t>(y), n, cn);
    case CV_32F:
      return zero_span_of(m.ptr<float>(y), n, cn);
    default:
      return zero_span_of(m.ptr<double>(y), n, cn);
  }
}

// The image argument as an array OpenCV can address whose zero entries are exactly the
// entries NumPy finds equal to 0. Only whether an entry is 0 matters here.
py::object numeric(py::handle img) {
  auto obj = py::reinterpret_borrow<py::object>(img);
  // The steps written in Python read img.shape[0] and img.shape[1]: anything without them
  // fails there, with the interpreter's own error.
  if (!py::isinstance<py::array>(obj) || py::reinterpret_borrow<py::array>(obj).ndim() < 2)
    py::object(py::object(obj.attr("shape"))[py::int_(1)]);
  if (!py::isinstance<py::array>(obj))
    throw py::type_error("expected a NumPy array, got " + zelk::describe(obj));
  auto a = py::reinterpret_borrow<py::array>(obj);
  const bool pixels = a.ndim() == 2 || (a.ndim() == 3 && a.shape(2) <= CV_CN_MAX);
  // Bool entries are bytes holding 0 or 1.
  if (pixels && a.dtype().kind() == 'b')
    return zelk::call_method(obj, ZELK_ID("view"), py::str("uint8"));
  if (pixels && zelk::depth_of(a.dtype()) >= 0) return obj;
  // Anything else (64-bit integers, float16, byte-swapped, complex, strings, objects, more
  // than three dimensions): NumPy's own comparison, img != 0 with Python's fallbacks (a
  // scalar where NumPy cannot compare elementwise), reduced to one entry per pixel that is 0
  // when any of the pixel's entries equals 0.
  py::object np = zelk::global(ZELK_ID("np"));
  py::object nonzero =
      zelk::steal_or_throw(PyObject_RichCompare(obj.ptr(), py::int_(0).ptr(), Py_NE));
  nonzero = zelk::call_method(np, ZELK_ID("broadcast_to"),
                              zelk::call_method(np, ZELK_ID("asarray"), nonzero, np.attr("bool_")),
                              obj.attr("shape"));
  if (a.ndim() > 2) {
    // Entries per pixel, given outright: -1 cannot be worked out for an empty array.
    py::ssize_t entries = a.size() == 0 ? 0 : 1;
    for (py::ssize_t d = 2; d < a.ndim() && entries > 0; ++d) entries *= a.shape(d);
    nonzero = zelk::call_method(zelk::call_method(nonzero, ZELK_ID("reshape"), py::int_(a.shape(0)),
                                                  py::int_(a.shape(1)), py::int_(entries)),
                                ZELK_ID("all"), ZELK_KW("axis"), py::int_(2));
  }
  return zelk::call_method(nonzero, ZELK_ID("view"), py::str("uint8"));
}

}  // namespace

ArrayRows::ArrayRows(py::handle img, const char* where)
    : view_(zelk::array_view(numeric(img), where)) {
  rows_ = view_.array.shape(0);
  cols_ = view_.array.shape(1);
}

ZeroSpan ArrayRows::zeros(py::ssize_t y) const {
  return zero_span(view_.mat, static_cast<int>(y));
}

PreparedRows::PreparedRows(py::handle frame, const char* where, bool many_rows)
    : frame_(zelk::array_view(frame, where)) {
  const cv::Mat& bgr = frame_.mat;
  eight_bit_ = bgr.depth() == CV_8U && (bgr.channels() == 3 || bgr.channels() == 4) && !bgr.empty();
  if (eight_bit_) {
    // Without the native rule, the grey image is always kept: rows cannot be converted
    // again one by one.
    const bool native = grey_row_matches_opencv();
    const Histogram hist = grey_histogram(bgr, many_rows || !native ? &gray_ : nullptr, !native);
    thresh_ = otsu_threshold(hist, bgr.total());
  } else {
    // Any other frame takes the plain road, with OpenCV's own checks and errors.
    cv::Mat gray, binary;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    cv::threshold(gray, binary, 0, 255, cv::THRESH_OTSU);
    cv::dilate(binary, prepared_, cv::Mat(), cv::Point(-1, -1), 2);
  }
  rows_ = bgr.rows;
  cols_ = bgr.cols;
}

const uchar* PreparedRows::grey(int r) const {
  if (!gray_.empty()) return gray_.ptr<uchar>(r);
  const cv::Mat& bgr = frame_.mat;
  grey_row_.resize(static_cast<size_t>(bgr.cols));
  grey_row(bgr.ptr<uchar>(r), bgr.channels(), bgr.cols, grey_row_.data());
  return grey_row_.data();
}

ZeroSpan PreparedRows::zeros(py::ssize_t y) const {
  if (!eight_bit_) return zero_span(prepared_, static_cast<int>(y));
  // Dilating the binary image makes a pixel 0 exactly when no grey value of its 5×5
  // neighbourhood lies above the threshold; pixels outside the image do not count.
  const int row = static_cast<int>(y);
  const auto cols = static_cast<size_t>(cols_);
  const int top = std::max(0, row - 2);
  const int bottom = std::min(static_cast<int>(rows_) - 1, row + 2);
  // Plain pointers: bytes stored through a vector's operator[] may alias the vector itself,
  // which keeps the compiler from vectorising the loops.
  const uchar* first_row = grey(top);
  column_max_.assign(first_row, first_row + cols);
  uchar* high = column_max_.data();
  for (int r = top + 1; r <= bottom; ++r) {
    const uchar* p = grey(r);
    for (size_t x = 0; x < cols; ++x) high[x] = std::max(high[x], p[x]);
  }
  // low[x + 2] is 1 when column x holds no value above the threshold; two 1s on each side
  // stand for the outside.
  const auto thresh = static_cast<uchar>(thresh_);
  low_.assign(cols + 4, 1);
  uchar* low = low_.data();
  for (size_t x = 0; x < cols; ++x) low[x + 2] = high[x] <= thresh;
  zero_.resize(cols);
  uchar* zero = zero_.data();
  for (size_t x = 0; x < cols; ++x)
    zero[x] = low[x] & low[x + 1] & low[x + 2] & low[x + 3] & low[x + 4];
  const auto* first = static_cast<const uchar*>(std::memchr(zero, 1, cols));
  if (first == nullptr) return {};
  const auto* last = static_cast<const uchar*>(memrchr(zero, 1, cols));
  return {true, static_cast<int>(first - zero), static_cast<int>(last - zero)};
}

cv::Mat PreparedRows::image() const {
  if (!eight_bit_) return prepared_;
  cv::Mat gray = gray_, binary, dilated;
  if (gray.empty()) cv::cvtColor(frame_.mat, gray, cv::COLOR_BGR2GRAY);
  cv::threshold(gray, binary, thresh_, 255, cv::THRESH_BINARY);
  cv::dilate(binary, dilated, cv::Mat(), cv::Point(-1, -1), 2);
  return dilated;
}

}  // namespace optik1
