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

template <int cn>
void grey_row_portable(const uchar* src, int n, uchar* dst) {
  for (int x = 0; x < n; ++x) {
    const uchar* p = src + cn * x;
    dst[x] = static_cast<uchar>((p[0] * kBlue + p[1] * kGreen + p[2] * kRed + kHalf) >> kShift);
  }
}

#if CV_SIMD128
// OpenCV's universal intrinsics (NEON on the car, SSE elsewhere).
template <int cn>
void grey_row_universal(const uchar* src, int n, uchar* dst) {
  int x = 0;
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
  for (; x < n; ++x) {
    const uchar* p = src + cn * x;
    dst[x] = static_cast<uchar>((p[0] * kBlue + p[1] * kGreen + p[2] * kRed + kHalf) >> kShift);
  }
}
#define ZELK_GREY_UNIVERSAL 1
#endif

#if defined(__GNUC__) && defined(__x86_64__)
// On x86-64 the build targets SSE2 only; the compiler vectorises this loop for AVX2 as well
// and picks the version the processor runs at load time.
template <int cn>
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void grey_row_clones(
    const uchar* __restrict src, int n, uchar* __restrict dst) {
  for (int x = 0; x < n; ++x) {
    const uchar* p = src + cn * x;
    dst[x] = static_cast<uchar>(
        (uint32_t{p[0]} * kBlue + uint32_t{p[1]} * kGreen + uint32_t{p[2]} * kRed + kHalf) >>
        kShift);
  }
}
#define ZELK_GREY_CLONES 1
#endif

using RowFunction = void (*)(const uchar*, int, uchar*);

struct Variant {
  const char* name;
  RowFunction three, four;  // for 3 and 4 interleaved channels
};

// Fastest first.
const std::vector<Variant>& variants() {
  static const std::vector<Variant> all = {
#ifdef ZELK_GREY_CLONES
      {"x86-64 clones", grey_row_clones<3>, grey_row_clones<4>},
#endif
#ifdef ZELK_GREY_UNIVERSAL
      {"universal intrinsics", grey_row_universal<3>, grey_row_universal<4>},
#endif
      {"portable", grey_row_portable<3>, grey_row_portable<4>},
  };
  return all;
}

void run(const Variant& v, const uchar* src, int cn, int n, uchar* dst) {
  (cn == 3 ? v.three : v.four)(src, n, dst);
}

// Whether the variant gives what cv::cvtColor gives, on a sample of colours: every blue and
// green value, red varied along both axes; 259 columns leave a ragged end.
bool matches_opencv(const Variant& v) {
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
      run(v, m->ptr<uchar>(y), m->channels(), m->cols, got.data());
      if (std::memcmp(got.data(), expected.ptr<uchar>(y), got.size()) != 0) return false;
    }
  }
  return true;
}

// The variant in use: the fastest whose results match OpenCV's, null when none does (an
// OpenCV build with another conversion: a platform HAL, other rounding).
const Variant* chosen() {
  static const Variant* const v = []() -> const Variant* {
    for (const Variant& candidate : variants())
      if (matches_opencv(candidate)) return &candidate;
    return nullptr;
  }();
  return v;
}

}  // namespace

void grey_row(const uchar* src, int cn, int n, uchar* dst) {
  run(chosen() != nullptr ? *chosen() : variants().back(), src, cn, n, dst);
}

bool grey_row_matches_opencv() {
  return chosen() != nullptr;
}

const char* grey_conversion() {
  return chosen() != nullptr ? chosen()->name : "cvtColor";
}

std::vector<const char*> grey_variants() {
  std::vector<const char*> names;
  for (const Variant& v : variants()) names.push_back(v.name);
  return names;
}

bool grey_row_with(const char* variant, const uchar* src, int cn, int n, uchar* dst) {
  for (const Variant& v : variants()) {
    if (std::strcmp(v.name, variant) != 0) continue;
    run(v, src, cn, n, dst);
    return true;
  }
  return false;
}

}  // namespace optik1
