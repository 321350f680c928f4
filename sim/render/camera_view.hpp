// Camera 0 of the simulated car: what a camera on the car at a pose sees of the world,
// rendered with OpenCV (the floor by a perspective warp, walls, balls and signs drawn over it
// from the farthest to the nearest).
#pragma once

#include <opencv2/core.hpp>

#include "world/floor.hpp"
#include "world/world.hpp"

namespace zelk_sim {

class CameraView {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;

  CameraView(const World& world, const Floor& floor) : world_(world), floor_(floor) {}

  // out becomes the 480 x 640 BGR picture of the world from the car at `pose`.
  void render(const Pose& pose, cv::Mat& out) const;

 private:
  const World& world_;
  const Floor& floor_;
};

}  // namespace zelk_sim
