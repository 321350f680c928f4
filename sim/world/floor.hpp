// The floor drawn once as a picture (colour, floor picture, marks, the line with its dotted
// stretches), which the camera and the line-tracking sensors then look at.
#pragma once

#include <opencv2/core.hpp>

#include "world/world.hpp"

namespace zelk_sim {

class Floor {
 public:
  // Pixels per cm of the floor picture: fine enough that the camera's nearest rows (about
  // 30 px per cm) are not much blurred, small enough for a 3 m by 3 m floor (1800 x 1800).
  static constexpr double kPxPerCm = 6;

  explicit Floor(const World& world);

  const cv::Mat& picture() const { return picture_; }
  // Pixel coordinates (column, row) of a floor point: row 0 is the floor's far edge (y = height).
  cv::Point2d to_px(Point p) const { return {p.x * kPxPerCm, (height_cm_ - p.y) * kPxPerCm}; }
  // Whether the floor is dark at p, as a line sensor would tell (nothing is dark off the floor).
  bool dark_at(Point p) const;

 private:
  void draw_line(const World& world);
  void draw_marks(const World& world);

  double height_cm_;
  cv::Mat picture_;
  cv::Mat grey_;
  double dark_below_;
};

}  // namespace zelk_sim
