#include "grey_histogram.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstring>
#include <vector>

#include "grey_conversion.hpp"

namespace optik1 {
namespace {

// Counts into four tables of 32-bit counters (eight values read at once and spread over the
// tables, so runs of equal values, a camera's flat floor, do not wait on one counter),
// emptied into the 64-bit totals before any counter could overflow.
class Counter {
 public:
  explicit Counter(Histogram& totals) : totals_(totals) {}
  ~Counter() { flush(); }

  void count(const uchar* p, int n) {
    if (pending_ + static_cast<std::uint64_t>(n) > UINT32_MAX) flush();
    pending_ += static_cast<std::uint64_t>(n);
    int x = 0;
    for (; x + 8 <= n; x += 8) {
      std::uint64_t v;
      std::memcpy(&v, p + x, 8);
      for (int k = 0; k < 8; ++k, v >>= 8) ++t_[k & 3][v & 255];
    }
    for (; x < n; ++x) ++t_[0][p[x]];
  }

 private:
  void flush() {
    for (std::size_t i = 0; i < 256; ++i) {
      totals_[i] += std::uint64_t{t_[0][i]} + t_[1][i] + t_[2][i] + t_[3][i];
      t_[0][i] = t_[1][i] = t_[2][i] = t_[3][i] = 0;
    }
    pending_ = 0;
  }

  Histogram& totals_;
  std::uint32_t t_[4][256] = {};
  std::uint64_t pending_ = 0;
};

}  // namespace

Histogram grey_histogram(const cv::Mat& bgr, cv::Mat* keep, bool use_cvtcolor) {
  if (keep != nullptr) keep->create(bgr.rows, bgr.cols, CV_8UC1);
  const int stripes = std::max(1, std::min({cv::getNumThreads(), 8, bgr.rows}));
  std::vector<Histogram> counts(static_cast<std::size_t>(stripes), Histogram{});
  cv::parallel_for_(
      cv::Range(0, stripes),
      [&](const cv::Range& range) {
        constexpr int kRun = 1024;
        uchar grey[kRun];
        for (int s = range.start; s < range.end; ++s) {
          const auto y0 = static_cast<int>(std::int64_t{bgr.rows} * s / stripes);
          const auto y1 = static_cast<int>(std::int64_t{bgr.rows} * (s + 1) / stripes);
          Counter counter(counts[static_cast<std::size_t>(s)]);
          for (int y = y0; y < y1; ++y) {
            for (int x0 = 0; x0 < bgr.cols; x0 += kRun) {
              const int n = std::min(kRun, bgr.cols - x0);
              uchar* out = keep != nullptr ? keep->ptr<uchar>(y) + x0 : grey;
              if (use_cvtcolor) {
                cv::Mat run(1, n, CV_8UC1, out);
                cv::cvtColor(bgr.row(y).colRange(x0, x0 + n), run,
                             bgr.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
              } else {
                grey_row(bgr.ptr<uchar>(y) + x0 * bgr.channels(), bgr.channels(), n, out);
              }
              counter.count(out, n);
            }
          }
        }
      },
      stripes);
  Histogram hist{};
  for (const auto& c : counts)
    for (std::size_t i = 0; i < 256; ++i) hist[i] += c[i];
  return hist;
}

// Otsu's threshold of a histogram, computed step for step as cv::threshold computes it for
// an 8-bit image, so that both pick the same value.
int otsu_threshold(const Histogram& h, std::uint64_t total) {
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

}  // namespace optik1
