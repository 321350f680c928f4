#include "render/top_view.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace zelk_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kShift = 4;
constexpr double kOne = 1 << kShift;

const cv::Scalar kTrail(40, 40, 220);
const cv::Scalar kCar(200, 110, 30);
const cv::Scalar kSight(120, 200, 240);

}  // namespace

void TopView::render(const Pose& pose, const std::deque<Point>& trail, int width, cv::Mat& out) {
  width = std::clamp(width, 16, 4000);
  double scale = width / world_.width_cm;  // px per cm
  int height = std::max(1, static_cast<int>(std::lround(world_.height_cm * scale)));
  if (scaled_floor_.cols != width || scaled_floor_.rows != height)
    cv::resize(floor_.picture(), scaled_floor_, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  scaled_floor_.copyTo(out);

  auto px = [&](double x, double y) {
    return cv::Point(static_cast<int>(std::lround(x * scale * kOne)),
                     static_cast<int>(std::lround((world_.height_cm - y) * scale * kOne)));
  };
  auto px_of = [&](Point p) { return px(p.x, p.y); };
  int thin = std::max(1, width / 400);

  for (const Wall& w : world_.walls)
    cv::line(out, px_of(w.from), px_of(w.to), w.colour * 0.6, std::max(2, width / 150), cv::LINE_AA,
             kShift);
  for (const Ball& b : world_.balls)
    cv::circle(out, px_of(b.at), static_cast<int>(std::lround(b.radius_cm * scale * kOne)),
               b.colour, cv::FILLED, cv::LINE_AA, kShift);
  for (const Sign& s : world_.signs) {
    double f = s.facing_deg * kPi / 180, hw = s.width_cm / 2;
    Point a{s.at.x + std::sin(f) * hw, s.at.y - std::cos(f) * hw};
    Point b{s.at.x - std::sin(f) * hw, s.at.y + std::cos(f) * hw};
    cv::line(out, px_of(a), px_of(b), cv::Scalar(60, 60, 60), std::max(2, width / 200), cv::LINE_AA,
             kShift);
  }

  if (trail.size() >= 2) {
    std::vector<cv::Point> path;
    path.reserve(trail.size());
    for (const Point& p : trail) path.push_back(px_of(p));
    cv::polylines(out, path, false, kTrail, std::max(1, width / 250), cv::LINE_AA, kShift);
  }

  // The camera's field of view on the floor, as two lines from the car's front.
  const CarConstants& car = world_.car;
  double h = pose.heading_deg * kPi / 180, half = car.camera_fov_deg * kPi / 360;
  Point cam{pose.x_cm + std::cos(h) * car.camera_forward_cm,
            pose.y_cm + std::sin(h) * car.camera_forward_cm};
  double reach = car.camera_height_cm / std::tan(std::max(car.camera_tilt_deg, 5.0) * kPi / 180);
  for (double side : {-half, half})
    cv::line(out, px_of(cam),
             px(cam.x + std::cos(h + side) * reach * 2, cam.y + std::sin(h + side) * reach * 2),
             kSight, thin, cv::LINE_AA, kShift);

  // The car: its body, and a white nose showing where it heads.
  double l = car.length_cm / 2, w = car.width_cm / 2, c = std::cos(h), s = std::sin(h);
  auto body = [&](double f, double r) {
    return px(pose.x_cm + c * f + s * r, pose.y_cm + s * f - c * r);
  };
  std::vector<cv::Point> box{body(l, -w), body(l, w), body(-l, w), body(-l, -w)};
  cv::fillConvexPoly(out, box, kCar, cv::LINE_AA, kShift);
  std::vector<cv::Point> nose{body(l, 0), body(l * 0.3, -w * 0.6), body(l * 0.3, w * 0.6)};
  cv::fillConvexPoly(out, nose, cv::Scalar(255, 255, 255), cv::LINE_AA, kShift);
}

}  // namespace zelk_sim
