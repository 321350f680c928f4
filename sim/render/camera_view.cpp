#include "render/camera_view.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <opencv2/imgproc.hpp>

namespace zelk_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNearCm = 1;  // nothing nearer to the lens than this is drawn
constexpr int kShift = 4;
constexpr double kOne = 1 << kShift;

// A pinhole camera on the car: position, axes (right, down, forward) and focal length in px.
struct Lens {
  cv::Vec3d centre, right, down, forward;
  double focal, cx, cy;

  Lens(const CarConstants& car, const Pose& pose) {
    double h = pose.heading_deg * kPi / 180, t = car.camera_tilt_deg * kPi / 180;
    cv::Vec3d ahead(std::cos(h), std::sin(h), 0), left(-std::sin(h), std::cos(h), 0), up(0, 0, 1);
    centre = cv::Vec3d(pose.x_cm, pose.y_cm, car.camera_height_cm) + ahead * car.camera_forward_cm;
    forward = ahead * std::cos(t) - up * std::sin(t);
    down = -(ahead * std::sin(t)) - up * std::cos(t);
    right = -left;
    focal = CameraView::kWidth / 2.0 / std::tan(car.camera_fov_deg * kPi / 360);
    cx = (CameraView::kWidth - 1) / 2.0;
    cy = (CameraView::kHeight - 1) / 2.0;
  }

  double depth(const cv::Vec3d& p) const { return (p - centre).dot(forward); }

  // Fixed-point pixel of a point in front of the lens (depth >= kNearCm).
  cv::Point project(const cv::Vec3d& p) const {
    cv::Vec3d d = p - centre;
    double z = d.dot(forward);
    double u = cx + focal * d.dot(right) / z, v = cy + focal * d.dot(down) / z;
    // Points just in front of the lens can land far outside the picture: keep them in range.
    u = std::clamp(u, -1e6, 1e6);
    v = std::clamp(v, -1e6, 1e6);
    return {static_cast<int>(std::lround(u * kOne)), static_cast<int>(std::lround(v * kOne))};
  }

  // The polygon's part in front of the lens, projected (empty when none is).
  std::vector<cv::Point> clip_and_project(const std::vector<cv::Vec3d>& poly) const {
    std::vector<cv::Vec3d> kept;
    for (std::size_t i = 0; i < poly.size(); ++i) {
      const cv::Vec3d &a = poly[i], &b = poly[(i + 1) % poly.size()];
      double da = depth(a) - kNearCm, db = depth(b) - kNearCm;
      if (da >= 0) kept.push_back(a);
      if ((da >= 0) != (db >= 0)) kept.push_back(a + (b - a) * (da / (da - db)));
    }
    std::vector<cv::Point> px;
    for (const cv::Vec3d& p : kept) px.push_back(project(p));
    return px;
  }
};

cv::Vec3d at(Point p, double z) {
  return {p.x, p.y, z};
}

cv::Scalar shaded(const cv::Scalar& c, double f) {
  return c * f;
}

// Something to draw over the floor, and how far it is (drawn far to near).
struct Item {
  double distance;
  std::function<void(cv::Mat&)> draw;
};

void draw_floor(const World& world, const Floor& floor, const Lens& lens, cv::Mat& out) {
  // Floor picture pixel (c, r) -> floor point -> camera -> picture: one homography.
  const double p = Floor::kPxPerCm;
  cv::Matx33d to_floor(1 / p, 0, -lens.centre[0], 0, -1 / p, world.height_cm - lens.centre[1], 0, 0,
                       -lens.centre[2]);
  cv::Matx33d rows(lens.right[0], lens.right[1], lens.right[2], lens.down[0], lens.down[1],
                   lens.down[2], lens.forward[0], lens.forward[1], lens.forward[2]);
  cv::Matx33d k(lens.focal, 0, lens.cx, 0, lens.focal, lens.cy, 0, 0, 1);
  // Rows at and above the horizon show no floor (with the camera's tilt the horizon is the row
  // where the direction straight ahead lands).
  double t = world.car.camera_tilt_deg * kPi / 180;
  double horizon = lens.cy - lens.focal * std::tan(t);
  int top = std::clamp(static_cast<int>(std::floor(horizon)) + 2, 0, CameraView::kHeight);
  if (top >= CameraView::kHeight) return;
  cv::Matx33d shift(1, 0, 0, 0, 1, -top, 0, 0, 1);
  cv::Matx33d m = shift * k * rows * to_floor;
  cv::Mat below = out.rowRange(top, CameraView::kHeight);
  cv::warpPerspective(floor.picture(), below, cv::Mat(m), below.size(), cv::INTER_LINEAR,
                      cv::BORDER_CONSTANT, world.background);
}

void add_wall(const Wall& w, const Lens& lens, std::vector<Item>& items) {
  std::vector<cv::Vec3d> quad{at(w.from, 0), at(w.to, 0), at(w.to, w.height_cm),
                              at(w.from, w.height_cm)};
  std::vector<cv::Point> px = lens.clip_and_project(quad);
  if (px.size() < 3) return;
  // Lit from above the camera: a wall seen face-on is brightest.
  cv::Vec3d along = at(w.to, 0) - at(w.from, 0);
  cv::Vec3d normal(-along[1], along[0], 0);
  double n = cv::norm(normal);
  double facing = n > 0 ? std::fabs(normal.dot(lens.forward)) / n : 1;
  cv::Scalar colour = shaded(w.colour, 0.7 + 0.3 * facing);
  Point mid{(w.from.x + w.to.x) / 2, (w.from.y + w.to.y) / 2};
  double distance = cv::norm(at(mid, w.height_cm / 2) - lens.centre);
  items.push_back({distance, [px, colour](cv::Mat& out) {
                     cv::fillConvexPoly(out, px, colour, cv::LINE_AA, kShift);
                   }});
}

void add_ball(const Ball& b, const Lens& lens, std::vector<Item>& items) {
  cv::Vec3d c = at(b.at, b.radius_cm);
  double z = lens.depth(c);
  if (z < b.radius_cm + kNearCm) return;
  cv::Point centre = lens.project(c);
  int radius = static_cast<int>(std::lround(lens.focal * b.radius_cm / z * kOne));
  cv::Scalar colour = b.colour;
  items.push_back({cv::norm(c - lens.centre), [centre, radius, colour](cv::Mat& out) {
                     // A darker rim and a lit face give it some roundness; the hue stays.
                     cv::circle(out, centre, radius, shaded(colour, 0.8), cv::FILLED, cv::LINE_AA,
                                kShift);
                     cv::Point lit(centre.x - radius / 10, centre.y - radius / 10);
                     cv::circle(out, lit, radius * 8 / 10, colour, cv::FILLED, cv::LINE_AA, kShift);
                   }});
}

void add_sign(const Sign& s, const Lens& lens, std::vector<Item>& items) {
  double f = s.facing_deg * kPi / 180;
  cv::Vec3d normal(std::cos(f), std::sin(f), 0);
  // The picture's right edge as seen by someone in front of it.
  cv::Vec3d right(-std::sin(f), std::cos(f), 0);
  cv::Vec3d base = at(s.at, s.above_floor_cm), up(0, 0, s.height_cm);
  cv::Vec3d half = right * (s.width_cm / 2);
  std::vector<cv::Vec3d> quad{base - half + up, base + half + up, base + half, base - half};
  double distance = cv::norm(base + up * 0.5 - lens.centre);
  bool front = (lens.centre - base).dot(normal) > 0;
  bool whole = std::all_of(quad.begin(), quad.end(),
                           [&](const cv::Vec3d& p) { return lens.depth(p) >= kNearCm; });
  if (!front || !whole) {
    // Its back, or cut by the edge of sight: a plain card.
    std::vector<cv::Point> px = lens.clip_and_project(quad);
    if (px.size() < 3) return;
    items.push_back({distance, [px](cv::Mat& out) {
                       cv::fillConvexPoly(out, px, cv::Scalar(200, 200, 200), cv::LINE_AA, kShift);
                     }});
    return;
  }
  std::vector<cv::Point2f> to;
  for (const cv::Vec3d& p : quad) {
    cv::Point q = lens.project(p);
    to.emplace_back(static_cast<float>(q.x / kOne), static_cast<float>(q.y / kOne));
  }
  const cv::Mat& image = s.image;
  items.push_back({distance, [to, &image](cv::Mat& out) {
                     cv::Rect box = cv::boundingRect(to) & cv::Rect(0, 0, out.cols, out.rows);
                     if (box.empty()) return;
                     float w = static_cast<float>(image.cols), h = static_cast<float>(image.rows);
                     std::vector<cv::Point2f> from{{0, 0}, {w, 0}, {w, h}, {0, h}}, local;
                     for (const cv::Point2f& p : to)
                       local.emplace_back(p.x - static_cast<float>(box.x),
                                          p.y - static_cast<float>(box.y));
                     cv::Mat m = cv::getPerspectiveTransform(from, local);
                     cv::Mat patch, mask = cv::Mat::zeros(box.size(), CV_8U);
                     cv::warpPerspective(image, patch, m, box.size(), cv::INTER_LINEAR);
                     std::vector<cv::Point> corners;
                     for (const cv::Point2f& p : local)
                       corners.emplace_back(cvRound(p.x * kOne), cvRound(p.y * kOne));
                     cv::fillConvexPoly(mask, corners, 255, cv::LINE_8, kShift);
                     patch.copyTo(out(box), mask);
                   }});
}

}  // namespace

void CameraView::render(const Pose& pose, cv::Mat& out) const {
  out.create(kHeight, kWidth, CV_8UC3);
  out.setTo(world_.background);
  Lens lens(world_.car, pose);
  draw_floor(world_, floor_, lens, out);
  std::vector<Item> items;
  for (const Wall& w : world_.walls) add_wall(w, lens, items);
  for (const Ball& b : world_.balls) add_ball(b, lens, items);
  for (const Sign& s : world_.signs) add_sign(s, lens, items);
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.distance > b.distance; });
  for (const Item& item : items) item.draw(out);
}

}  // namespace zelk_sim
