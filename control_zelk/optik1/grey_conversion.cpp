#include "grey_conversion.hpp"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>
#include <vector>

namespace optik1 {
namespace {

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

}  // namespace

void grey_row(const uchar* src, int cn, int n, uchar* dst) {
  if (cn == 3)
    grey_row<3>(src, n, dst);
  else
    grey_row<4>(src, n, dst);
}

bool grey_row_matches_opencv() {
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

}  // namespace optik1
