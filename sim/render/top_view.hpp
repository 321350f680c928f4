// The world seen from above, with the car, its camera's field of view and its trail: for the
// web page and for pictures of a run's trajectory.
#pragma once

#include <deque>
#include <opencv2/core.hpp>

#include "world/floor.hpp"
#include "world/world.hpp"

namespace zelk_sim {

class TopView {
 public:
  TopView(const World& world, const Floor& floor) : world_(world), floor_(floor) {}

  // out becomes a BGR picture `width` px wide (16..4000) with the floor's proportions.
  void render(const Pose& pose, const std::deque<Point>& trail, int width, cv::Mat& out);

 private:
  const World& world_;
  const Floor& floor_;
  cv::Mat scaled_floor_;  // the floor at the width asked for last, made again when it changes
};

}  // namespace zelk_sim
