// OpenCV's 8-bit BGR -> grey rule, one row at a time, vectorised: the line methods convert
// only the rows they read.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace optik1 {

// Grey values of the n pixels of one row with cn (3 or 4) interleaved channels, computed by
// the fastest variant this processor runs whose results match cv::cvtColor's (checked once,
// at first use, on a sample of colours).
void grey_row(const uchar* src, int cn, int n, uchar* dst);

// False when no variant matches (an OpenCV build with another conversion: a platform HAL,
// other rounding): the grey image must then come from cv::cvtColor.
bool grey_row_matches_opencv();

// The name of the variant grey_row() uses, or "cvtColor"; shown to tests, so that a slow
// fallback on some platform does not go unnoticed.
const char* grey_conversion();

// The variants this build has, fastest first ("x86-64 clones", "universal intrinsics",
// "portable"), and one of them forced on a row (false for an unknown name).
std::vector<const char*> grey_variants();
bool grey_row_with(const char* variant, const uchar* src, int cn, int n, uchar* dst);

}  // namespace optik1
