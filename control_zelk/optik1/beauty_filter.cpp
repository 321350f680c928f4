#include "beauty_filter.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace optik1 {
namespace {

constexpr double kWeightImg = 0.1, kWeightSmooth = 0.9;
const cv::Scalar kLift(10, 10, 10, 128), kBrighten(10, 10, 10, 255);

// The seven steps as written.
void plain_steps(const cv::Mat& img, cv::Mat& dst) {
  cv::Mat temp1, temp2, temp3, temp4;
  cv::bilateralFilter(img, temp1, 15, 37.5, 37.5);
  cv::subtract(temp1, img, temp2);
  cv::add(temp2, kLift, temp2);
  cv::GaussianBlur(temp2, temp3, cv::Size(3, 3), 0);
  cv::add(img, temp3, temp4);
  cv::addWeighted(img, kWeightImg, temp4, kWeightSmooth, 0.0, temp1);
  cv::add(temp1, kBrighten, dst);
}

using BlendTable = std::array<uchar, 256 * 256>;

// addWeighted(a, 0.1, b, 0.9, 0) for every pair of 8-bit values, computed by addWeighted
// itself, so the table is exact by construction. It is used only when OpenCV gives every
// pair the same result in its vectorised and its element-wise code (a pair alone in a row
// takes the element-wise path); otherwise null.
const BlendTable* blend_table() {
  static const std::unique_ptr<BlendTable> table = []() -> std::unique_ptr<BlendTable> {
    cv::Mat a(256, 256, CV_8UC1), b(256, 256, CV_8UC1), wide, alone;
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j) a.at<uchar>(i, j) = uchar(i), b.at<uchar>(i, j) = uchar(j);
    cv::addWeighted(a, kWeightImg, b, kWeightSmooth, 0.0, wide);
    // The same pairs as one column of rows two elements wide: one element per row.
    cv::Mat a2(256 * 256, 2, CV_8UC1), b2(256 * 256, 2, CV_8UC1);
    a.reshape(1, 256 * 256).copyTo(a2.col(0));
    b.reshape(1, 256 * 256).copyTo(b2.col(0));
    cv::addWeighted(a2.col(0), kWeightImg, b2.col(0), kWeightSmooth, 0.0, alone);
    auto t = std::make_unique<BlendTable>();
    for (int k = 0; k < 256 * 256; ++k) {
      (*t)[static_cast<std::size_t>(k)] = wide.data[k];
      if (alone.at<uchar>(k, 0) != wide.data[k]) return nullptr;
    }
    return t;
  }();
  return table.get();
}

uchar saturate(int v) {
  return static_cast<uchar>(std::clamp(v, 0, 255));
}

// Steps 2 and 3 in one pass: the detail layer, saturated, lifted, saturated.
template <int cn>
void detail_rows(const cv::Mat& smooth, const cv::Mat& img, cv::Mat& detail,
                 const cv::Range& rows) {
  for (int y = rows.start; y < rows.end; ++y) {
    const uchar *s = smooth.ptr<uchar>(y), *p = img.ptr<uchar>(y);
    uchar* d = detail.ptr<uchar>(y);
    for (int x = 0; x < img.cols; ++x, s += cn, p += cn, d += cn)
      for (int c = 0; c < cn; ++c)
        d[c] = saturate(std::max(0, s[c] - p[c]) + static_cast<int>(kLift[c]));
  }
}

// Steps 5 to 7 in one pass: add the blurred detail, blend through the table, brighten.
template <int cn>
void blend_rows(const cv::Mat& blurred, const cv::Mat& img, const BlendTable& table, cv::Mat& dst,
                const cv::Range& rows) {
  for (int y = rows.start; y < rows.end; ++y) {
    const uchar *b = blurred.ptr<uchar>(y), *p = img.ptr<uchar>(y);
    uchar* d = dst.ptr<uchar>(y);
    for (int x = 0; x < img.cols; ++x, b += cn, p += cn, d += cn)
      for (int c = 0; c < cn; ++c) {
        const int sum = std::min(255, p[c] + b[c]);
        d[c] = saturate(table[static_cast<std::size_t>(p[c] * 256 + sum)] +
                        static_cast<int>(kBrighten[c]));
      }
  }
}

template <int cn>
void fused_steps(const cv::Mat& img, const BlendTable& table, cv::Mat& dst) {
  cv::Mat smooth, detail(img.size(), img.type()), blurred;
  cv::bilateralFilter(img, smooth, 15, 37.5, 37.5);
  // The element-wise passes are memory-bound: one thread, as OpenCV runs add and subtract.
  detail_rows<cn>(smooth, img, detail, cv::Range(0, img.rows));
  cv::GaussianBlur(detail, blurred, cv::Size(3, 3), 0);
  dst.create(img.size(), img.type());
  blend_rows<cn>(blurred, img, table, dst, cv::Range(0, img.rows));
}

}  // namespace

void beauty_filter(const cv::Mat& img, cv::Mat& dst) {
  // bilateralFilter takes 8-bit images of one or three channels; anything else goes the
  // plain way, to OpenCV's own errors.
  const BlendTable* table =
      img.type() == CV_8UC3 || img.type() == CV_8UC1 ? blend_table() : nullptr;
  if (table == nullptr || img.empty()) return plain_steps(img, dst);
  if (img.channels() == 3)
    fused_steps<3>(img, *table, dst);
  else
    fused_steps<1>(img, *table, dst);
}

}  // namespace optik1
