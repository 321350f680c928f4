#include "beauty_filter.hpp"

#include <opencv2/imgproc.hpp>

namespace optik1 {

void beauty_filter(const cv::Mat& img, cv::Mat& dst) {
  cv::Mat temp1, temp2, temp3, temp4;
  cv::bilateralFilter(img, temp1, 15, 37.5, 37.5);
  cv::subtract(temp1, img, temp2);
  cv::add(temp2, cv::Scalar(10, 10, 10, 128), temp2);
  cv::GaussianBlur(temp2, temp3, cv::Size(3, 3), 0);
  cv::add(img, temp3, temp4);
  cv::addWeighted(img, 0.1, temp4, 0.9, 0.0, temp1);
  cv::add(temp1, cv::Scalar(10, 10, 10, 255), dst);
}

}  // namespace optik1
