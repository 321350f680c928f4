#include "binary_rows.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cfloat>
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

// Adds the values of an 8-bit image to `hist`. Eight bytes are read at once and spread over
// four tables, so runs of equal values (a camera's flat floor) do not wait on one counter.
void count_values(const cv::Mat& g, std::array<uint64_t, 256>& hist) {
  uint32_t t[4][256] = {};
  for (int y = 0; y < g.rows; ++y) {
    const uchar* p = g.ptr<uchar>(y);
    int x = 0;
    for (; x + 8 <= g.cols; x += 8) {
      uint64_t v;
      std::memcpy(&v, p + x, 8);
      for (int k = 0; k < 8; ++k, v >>= 8) ++t[k & 3][v & 255];
    }
    for (; x < g.cols; ++x) ++t[0][p[x]];
  }
  for (size_t i = 0; i < 256; ++i) hist[i] += uint64_t{t[0][i]} + t[1][i] + t[2][i] + t[3][i];
}

// The grey image of an 8-bit BGR(A) frame and the histogram of its values, made stripe by
// stripe on OpenCV's worker threads while each stripe is still in cache.
std::array<uint64_t, 256> grey_with_histogram(const cv::Mat& bgr, cv::Mat& gray) {
  gray.create(bgr.size(), CV_8U);
  const int stripes = std::max(1, std::min({cv::getNumThreads(), 8, bgr.rows}));
  std::vector<std::array<uint64_t, 256>> counts(static_cast<size_t>(stripes));
  cv::parallel_for_(
      cv::Range(0, stripes),
      [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
          const auto y0 = static_cast<int>(int64_t{bgr.rows} * s / stripes);
          const auto y1 = static_cast<int>(int64_t{bgr.rows} * (s + 1) / stripes);
          cv::Mat part = gray.rowRange(y0, y1);
          cv::cvtColor(bgr.rowRange(y0, y1), part, cv::COLOR_BGR2GRAY);
          count_values(part, counts[static_cast<size_t>(s)]);
        }
      },
      stripes);
  std::array<uint64_t, 256> hist{};
  for (const auto& c : counts)
    for (size_t i = 0; i < 256; ++i) hist[i] += c[i];
  return hist;
}

// Otsu's threshold of a histogram, computed step for step as cv::threshold computes it for
// an 8-bit image, so that both pick the same value.
int otsu_threshold(const std::array<uint64_t, 256>& h, uint64_t total) {
  double mu = 0;
  const double scale = 1. / static_cast<double>(total);
  for (int i = 0; i < 256; ++i) mu += i * static_cast<double>(h[i]);
  mu *= scale;
  double mu1 = 0, q1 = 0;
  double max_sigma = 0;
  int max_val = 0;
  for (int i = 0; i < 256; ++i) {
    const double p_i = static_cast<double>(h[i]) * scale;
    mu1 *= q1;
    q1 += p_i;
    const double q2 = 1. - q1;
    if (std::min(q1, q2) < FLT_EPSILON || std::max(q1, q2) > 1. - FLT_EPSILON) continue;
    mu1 = (mu1 + i * p_i) / q1;
    const double mu2 = (mu - q1 * mu1) / q2;
    const double sigma = q1 * q2 * (mu1 - mu2) * (mu1 - mu2);
    if (sigma > max_sigma) {
      max_sigma = sigma;
      max_val = i;
    }
  }
  return max_val;
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
  const cv::Mat& bgr = frame_.mat;
  if (bgr.depth() == CV_8U && (bgr.channels() == 3 || bgr.channels() == 4) && !bgr.empty()) {
    const auto hist = grey_with_histogram(bgr, gray_);
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

ZeroSpan PreparedRows::zeros(py::ssize_t y) const {
  if (gray_.empty()) return zero_span(prepared_, static_cast<int>(y));
  // Dilating the binary image makes a pixel 0 exactly when no grey value of its 5×5
  // neighbourhood lies above the threshold; pixels outside the image do not count.
  const int row = static_cast<int>(y);
  const auto cols = static_cast<size_t>(gray_.cols);
  const int top = std::max(0, row - 2);
  const int bottom = std::min(gray_.rows - 1, row + 2);
  // Plain pointers: bytes stored through a vector's operator[] may alias the vector itself,
  // which keeps the compiler from vectorising the loops.
  column_max_.assign(gray_.ptr<uchar>(top), gray_.ptr<uchar>(top) + cols);
  uchar* high = column_max_.data();
  for (int r = top + 1; r <= bottom; ++r) {
    const uchar* p = gray_.ptr<uchar>(r);
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
  if (gray_.empty()) return prepared_;
  cv::Mat binary, dilated;
  cv::threshold(gray_, binary, thresh_, 255, cv::THRESH_BINARY);
  cv::dilate(binary, dilated, cv::Mat(), cv::Point(-1, -1), 2);
  return dilated;
}

}  // namespace optik1
