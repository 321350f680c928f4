// The histogram of a frame's grey values and Otsu's threshold from it, without storing the
// grey image unless asked to.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>

namespace optik1 {

using Histogram = std::array<std::uint64_t, 256>;

// The histogram of the grey values of an 8-bit BGR(A) frame, stripe by stripe on OpenCV's
// worker threads. The grey values go into `keep` (created with the frame's size) when it is
// given, else into a buffer that stays in L1. use_cvtcolor converts with cv::cvtColor instead
// of grey_row() (for builds whose conversion differs).
Histogram grey_histogram(const cv::Mat& bgr, cv::Mat* keep, bool use_cvtcolor);

// Otsu's threshold of a histogram of `total` values, computed step for step as cv::threshold
// computes it for an 8-bit image, so that both pick the same value.
int otsu_threshold(const Histogram& h, std::uint64_t total);

}  // namespace optik1
