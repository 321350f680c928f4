#include "binary_rows.hpp"

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>

namespace optik1 {
namespace {

template <typename T>
ZeroSpan zero_span_of(const T* p, int n, int cn) {
  int i = 0;
  while (i < n && p[i] != 0) ++i;
  if (i == n) return {};
  int j = n - 1;
  while (p[j] != 0) --j;
  return {true, i / cn, j / cn};
}

ZeroSpan zero_span(const cv::Mat& m, int y) {
  if (m.empty()) return {};
  const int n = m.cols * m.channels();
  const int cn = m.channels();
  switch (m.depth()) {
    case CV_8U:
    case CV_8S: {
      const auto* p = m.ptr<uchar>(y);
      const void* first = std::memchr(p, 0, static_cast<size_t>(n));
      if (first == nullptr) return {};
      const void* last = memrchr(p, 0, static_cast<size_t>(n));
      return {true, static_cast<int>(static_cast<const uchar*>(first) - p) / cn,
              static_cast<int>(static_cast<const uchar*>(last) - p) / cn};
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

py::object numeric(py::handle img) {
  auto obj = py::reinterpret_borrow<py::object>(img);
  // NumPy compares bool entries with 0 as well; they are bytes holding 0 or 1.
  if (py::isinstance<py::array>(obj) && py::array(obj).dtype().kind() == 'b')
    return obj.attr("view")("uint8");
  return obj;
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

PreparedRows::PreparedRows(py::handle frame, const char* where)
    : frame_(zelk::array_view(frame, where)) {
  cv::Mat gray, binary;
  cv::cvtColor(frame_.mat, gray, cv::COLOR_BGR2GRAY);
  cv::threshold(gray, binary, 0, 255, cv::THRESH_OTSU);
  cv::dilate(binary, prepared_, cv::Mat(), cv::Point(-1, -1), 2);
  rows_ = frame_.mat.rows;
  cols_ = frame_.mat.cols;
}

ZeroSpan PreparedRows::zeros(py::ssize_t y) const {
  return zero_span(prepared_, static_cast<int>(y));
}

}  // namespace optik1
