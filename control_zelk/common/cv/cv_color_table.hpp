// Fused BGR -> "HSV within [lower, upper]" test through a membership table.
//
// cv::cvtColor(BGR2HSV) followed by cv::inRange is a pure function of the pixel's colour, so
// the answer for all 2^24 colours fits in a 2 MiB bit table. The table is computed with those
// very OpenCV calls, which makes the fused mask bit-identical to them by construction; after
// that, one table look-up per pixel replaces the colour conversion and the range test.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace zelk::color {
namespace py = pybind11;

// One inRange bound as cv2 passes a NumPy array to OpenCV: a 3×1 single-channel Mat of the
// array's depth (int64/uint64 arrays are cast to int32 first, as cv2 does).
struct Bound {
  int depth = -1;
  alignas(8) unsigned char raw[3 * sizeof(double)] = {};
  cv::Mat mat() const { return cv::Mat(3, 1, depth, const_cast<unsigned char*>(raw)); }
};

// Reads `obj` as a bound when it is a plain 1-D three-element numeric array; false for
// anything else (lists, other shapes, unusual dtypes), which the caller hands to cv2 itself.
bool read_bound(py::handle obj, Bound* out);

// mask = 255 where the HSV pixel lies in [lower, upper], both bounds included, else 0. When
// the lower hue is greater than the upper one the hue band wraps through 0 (red, around hue
// 0/180): the mask is the union of the hues lower..180 and 0..upper, each with the same
// saturation and value bounds. Otherwise this is cv::inRange.
void in_hsv_range(const cv::Mat& hsv, const Bound& lower, const Bound& upper, cv::Mat& mask);

using Table = std::shared_ptr<const std::vector<std::uint32_t>>;

// Membership bits of the range [lower, upper]: colour i = b | g << 8 | r << 16 is bit i % 32
// of word i / 32. Null until the range has been used often enough to be worth a table (a
// learner's colour stays for many frames; a range dragged along a trackbar does not); the
// most recently used tables are kept. Raises cv2.error for bounds cv::inRange rejects.
Table range_table(const Bound& lower, const Bound& upper);

// mask = 255 where the colour's bit is set, else 0. `bgr` is CV_8UC3; mask is created
// CV_8UC1 of the same size. Touches no Python object.
void apply_table(const std::vector<std::uint32_t>& bits, const cv::Mat& bgr, cv::Mat& mask);

}  // namespace zelk::color
