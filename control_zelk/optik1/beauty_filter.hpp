// The beauty filter: a bilateral filter (diameter 15, sigmas 37.5) whose detail layer,
// lifted by 10, blurred and added back, is blended 0.1 : 0.9 with the frame and brightened
// by 10. The result is the same to the bit as the seven OpenCV steps one after another.
#pragma once

#include <opencv2/core.hpp>

namespace optik1 {

// Touches no Python object; OpenCV's errors are thrown as cv::Exception.
void beauty_filter(const cv::Mat& img, cv::Mat& dst);

}  // namespace optik1
