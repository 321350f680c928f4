// OpenCV's 8-bit BGR -> grey rule, one row at a time, vectorised: the line methods convert
// only the rows they read.
#pragma once

#include <opencv2/core.hpp>

namespace optik1 {

// Grey values of the n pixels of one row with cn (3 or 4) interleaved channels.
void grey_row(const uchar* src, int cn, int n, uchar* dst);

// Whether grey_row() gives what cv::cvtColor gives, checked once on a sample of colours: an
// OpenCV build with another conversion (a platform HAL, other rounding) must use cvtColor.
bool grey_row_matches_opencv();

}  // namespace optik1
