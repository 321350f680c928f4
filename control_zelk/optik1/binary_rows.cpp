#include "binary_rows.hpp"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdint>
#include <cstring>

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
  if (!py::isinstance<py::array>(obj)) {
    // What `img.shape` would raise in the same steps written in Python.
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'shape'",
                 Py_TYPE(obj.ptr())->tp_name);
    throw py::error_already_set();
  }
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (a.ndim() < 2) throw py::index_error("tuple index out of range");
  const char kind = a.dtype().kind();
  const auto size = a.dtype().itemsize();
  // Bool entries are bytes holding 0 or 1.
  if (kind == 'b') return obj.attr("view")("uint8");
  // Other types OpenCV does not read as they are (64-bit integers, float16, complex,
  // objects): compare with 0 in NumPy.
  const bool native = (kind == 'u' && size <= 2) || (kind == 'i' && size <= 4) ||
                      (kind == 'f' && (size == 4 || size == 8));
  if (!native) return obj.attr("__ne__")(0).attr("view")("uint8");
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

// OpenCV's 8-bit BGR -> grey conversion: Y = (3735 B + 19235 G + 9798 R + 2^14) >> 15, the
// weights 0.114, 0.587, 0.299 in 15-bit fixed point (the 14-bit weights round differently).
constexpr int kBlue = 3735, kGreen = 19235, kRed = 9798, kShift = 15;
constexpr int kHalf = 1 << (kShift - 1);

#if defined(__GNUC__) && defined(__x86_64__)
// On x86-64 the build targets SSE2 only; the compiler vectorises this loop for AVX2 as well
// and picks the version the processor runs at load time.
template <int cn>
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void grey_row(
    const uchar* __restrict src, int n, uchar* __restrict dst) {
  for (int x = 0; x < n; ++x) {
    const uchar* p = src + cn * x;
    dst[x] = static_cast<uchar>(
        (uint32_t{p[0]} * kBlue + uint32_t{p[1]} * kGreen + uint32_t{p[2]} * kRed + kHalf) >>
        kShift);
  }
}
#else
// Grey values of the n pixels of one row with cn (3 or 4) interleaved channels.
template <int cn>
void grey_row(const uchar* src, int n, uchar* dst) {
  int x = 0;
#if CV_SIMD128
  // Blue and green, then red and the rounding constant, are paired as 16-bit lanes so that
  // one multiply-add of pairs yields the 32-bit sums.
  const cv::v_int16x8 blue_green(kBlue, kGreen, kBlue, kGreen, kBlue, kGreen, kBlue, kGreen);
  const cv::v_int16x8 red_half(kRed, kHalf, kRed, kHalf, kRed, kHalf, kRed, kHalf);
  const cv::v_int16x8 one = cv::v_setall_s16(1);
  const auto sums = [&](const cv::v_uint16x8& b, const cv::v_uint16x8& g, const cv::v_uint16x8& r,
                        cv::v_int32x4& lo, cv::v_int32x4& hi) {
    cv::v_int16x8 bg0, bg1, r0, r1;
    cv::v_zip(cv::v_reinterpret_as_s16(b), cv::v_reinterpret_as_s16(g), bg0, bg1);
    cv::v_zip(cv::v_reinterpret_as_s16(r), one, r0, r1);
    lo = (cv::v_dotprod(bg0, blue_green) + cv::v_dotprod(r0, red_half)) >> kShift;
    hi = (cv::v_dotprod(bg1, blue_green) + cv::v_dotprod(r1, red_half)) >> kShift;
  };
  for (; x + 16 <= n; x += 16) {
    cv::v_uint8x16 b, g, r;
    if constexpr (cn == 3) {
      cv::v_load_deinterleave(src + 3 * x, b, g, r);
    } else {
      cv::v_uint8x16 a;
      cv::v_load_deinterleave(src + 4 * x, b, g, r, a);
    }
    cv::v_uint16x8 b0, b1, g0, g1, r0, r1;
    cv::v_expand(b, b0, b1);
    cv::v_expand(g, g0, g1);
    cv::v_expand(r, r0, r1);
    cv::v_int32x4 y0, y1, y2, y3;
    sums(b0, g0, r0, y0, y1);
    sums(b1, g1, r1, y2, y3);
    cv::v_store(dst + x, cv::v_pack_u(cv::v_pack(y0, y1), cv::v_pack(y2, y3)));
  }
#endif
  for (; x < n; ++x) {
    const uchar* p = src + cn * x;
    dst[x] = static_cast<uchar>((p[0] * kBlue + p[1] * kGreen + p[2] * kRed + kHalf) >> kShift);
  }
}
#endif

void grey_row(const uchar* src, int cn, int n, uchar* dst) {
  if (cn == 3)
    grey_row<3>(src, n, dst);
  else
    grey_row<4>(src, n, dst);
}

// Whether grey_row() gives what cv::cvtColor gives, checked once on a sample of colours: an
// OpenCV build with another conversion (a platform HAL, other rounding) takes cv::cvtColor.
bool formula_matches_opencv() {
  static const bool matches = [] {
    // Every blue and green value, red varied along both axes; 259 columns leave a ragged end.
    cv::Mat bgra(256, 259, CV_8UC4);
    for (int y = 0; y < bgra.rows; ++y)
      for (int x = 0; x < bgra.cols; ++x)
        bgra.at<cv::Vec4b>(y, x) = cv::Vec4b(static_cast<uchar>(x), static_cast<uchar>(y),
                                             static_cast<uchar>(x * 7 + y * 13), 255);
    cv::Mat bgr, expected;
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
    std::vector<uchar> got(static_cast<size_t>(bgra.cols));
    for (const cv::Mat* m : {&bgr, &bgra}) {
      cv::cvtColor(*m, expected, cv::COLOR_BGR2GRAY);
      for (int y = 0; y < m->rows; ++y) {
        grey_row(m->ptr<uchar>(y), m->channels(), m->cols, got.data());
        if (std::memcmp(got.data(), expected.ptr<uchar>(y), got.size()) != 0) return false;
      }
    }
    return true;
  }();
  return matches;
}

// The histogram of the grey values of an 8-bit BGR(A) frame: each stripe of rows, on
// OpenCV's worker threads, converts a short run of pixels and counts it. The runs go into
// `keep` (a grey image of the frame's size) when it is given, else into a buffer that stays
// in L1, so the grey image is only stored when it will be read again.
std::array<uint64_t, 256> grey_histogram(const cv::Mat& bgr, cv::Mat* keep) {
  const int stripes = std::max(1, std::min({cv::getNumThreads(), 8, bgr.rows}));
  std::vector<std::array<uint64_t, 256>> counts(static_cast<size_t>(stripes));
  cv::parallel_for_(
      cv::Range(0, stripes),
      [&](const cv::Range& range) {
        constexpr int kRun = 1024;
        uchar grey[kRun];
        for (int s = range.start; s < range.end; ++s) {
          const auto y0 = static_cast<int>(int64_t{bgr.rows} * s / stripes);
          const auto y1 = static_cast<int>(int64_t{bgr.rows} * (s + 1) / stripes);
          auto& c = counts[static_cast<size_t>(s)];
          uint32_t t[4][256] = {};
          uint64_t pending = 0;  // pixels counted in t since it was last emptied into c
          const auto flush = [&] {
            for (size_t i = 0; i < 256; ++i) {
              c[i] += uint64_t{t[0][i]} + t[1][i] + t[2][i] + t[3][i];
              t[0][i] = t[1][i] = t[2][i] = t[3][i] = 0;
            }
            pending = 0;
          };
          for (int y = y0; y < y1; ++y) {
            if (pending + static_cast<uint64_t>(bgr.cols) > UINT32_MAX) flush();
            pending += static_cast<uint64_t>(bgr.cols);
            const uchar* p = bgr.ptr<uchar>(y);
            for (int x0 = 0; x0 < bgr.cols; x0 += kRun) {
              const int n = std::min(kRun, bgr.cols - x0);
              uchar* out = keep != nullptr ? keep->ptr<uchar>(y) + x0 : grey;
              grey_row(p + x0 * bgr.channels(), bgr.channels(), n, out);
              int x = 0;
              for (; x + 8 <= n; x += 8) {
                uint64_t v;
                std::memcpy(&v, out + x, 8);
                for (int k = 0; k < 8; ++k, v >>= 8) ++t[k & 3][v & 255];
              }
              for (; x < n; ++x) ++t[0][out[x]];
            }
          }
          flush();
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

PreparedRows::PreparedRows(py::handle frame, const char* where, bool many_rows)
    : frame_(zelk::array_view(frame, where)) {
  const cv::Mat& bgr = frame_.mat;
  eight_bit_ = bgr.depth() == CV_8U && (bgr.channels() == 3 || bgr.channels() == 4) && !bgr.empty();
  if (eight_bit_) {
    if (many_rows) gray_.create(bgr.rows, bgr.cols, CV_8UC1);
    const auto hist = !formula_matches_opencv() ? grey_with_histogram(bgr, gray_)
                      : many_rows               ? grey_histogram(bgr, &gray_)
                                                : grey_histogram(bgr, nullptr);
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
