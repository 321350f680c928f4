// The order to paint upright things in (walls, signs, balls) so that nearer ones cover farther
// ones. Sorting by the distance to each thing's middle is not enough: a card on a wall is
// farther than the wall's middle when seen from close up, and the wall would hide it.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace zelk_sim {

// Where a thing stands on the floor seen from above: the base of a wall or a sign, or a ball's
// width across the line of sight.
struct Footprint {
  cv::Vec2d a, b;
};

// Indices of the footprints from the farthest to the nearest as seen from `eye` looking along
// `ahead` (a unit vector on the floor). Of two things that some line of sight passes through,
// the one it reaches first comes later; things no line of sight shares keep the order of
// `distance` (farthest first), which also settles the rare case of things that each hide a
// part of the other.
std::vector<std::size_t> far_to_near(const std::vector<Footprint>& footprints,
                                     const std::vector<double>& distance, const cv::Vec2d& eye,
                                     const cv::Vec2d& ahead);

}  // namespace zelk_sim
