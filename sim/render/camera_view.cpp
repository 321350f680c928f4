#include "render/camera_view.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <opencv2/imgproc.hpp>

#include "render/draw_order.hpp"

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

  // An offset from the lens in the world's axes -> the pixel it lands on, in homogeneous
  // coordinates.
  cv::Matx33d to_pixel() const {
    cv::Matx33d k(focal, 0, cx, 0, focal, cy, 0, 0, 1);
    cv::Matx33d rows(right[0], right[1], right[2], down[0], down[1], down[2], forward[0],
                     forward[1], forward[2]);
    return k * rows;
  }

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

// Something to draw over the floor: where it stands, and how far its middle is.
struct Item {
  Footprint footprint;
  double distance;
  std::function<void(cv::Mat&)> draw;
};

cv::Vec2d on_floor(Point p) {
  return {p.x, p.y};
}

void draw_floor(const World& world, const Floor& floor, const Lens& lens, cv::Mat& out) {
  // Floor picture pixel (c, r) -> floor point -> camera -> picture: one homography.
  const double p = Floor::kPxPerCm;
  cv::Matx33d to_floor(1 / p, 0, -lens.centre[0], 0, -1 / p, world.height_cm - lens.centre[1], 0, 0,
                       -lens.centre[2]);
  // Rows at and above the horizon show no floor (with the camera's tilt the horizon is the row
  // where the direction straight ahead lands).
  double t = world.car.camera_tilt_deg * kPi / 180;
  double horizon = lens.cy - lens.focal * std::tan(t);
  int top = std::clamp(static_cast<int>(std::floor(horizon)) + 2, 0, CameraView::kHeight);
  if (top >= CameraView::kHeight) return;
  cv::Matx33d shift(1, 0, 0, 0, 1, -top, 0, 0, 1);
  cv::Matx33d m = shift * lens.to_pixel() * to_floor;
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
  items.push_back({{on_floor(w.from), on_floor(w.to)}, distance, [px, colour](cv::Mat& out) {
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
  // Its width across the line of sight from the camera.
  cv::Vec2d middle = on_floor(b.at), sight(middle[0] - lens.centre[0], middle[1] - lens.centre[1]);
  double s = cv::norm(sight);
  cv::Vec2d across = s > 0 ? cv::Vec2d(-sight[1], sight[0]) * (b.radius_cm / s) : cv::Vec2d(0, 0);
  Footprint footprint{middle - across, middle + across};
  items.push_back({footprint, cv::norm(c - lens.centre), [centre, radius, colour](cv::Mat& out) {
                     // A darker rim and a lit face give it some roundness; the hue stays.
                     cv::circle(out, centre, radius, shaded(colour, 0.8), cv::FILLED, cv::LINE_AA,
                                kShift);
                     cv::Point lit(centre.x - radius / 10, centre.y - radius / 10);
                     cv::circle(out, lit, radius * 8 / 10, colour, cv::FILLED, cv::LINE_AA, kShift);
                   }});
}

// The sign's picture at about the size it is drawn: a picture shrunk by linear sampling alone
// loses thin lines (a QR code's modules) where the card is small in the view.
cv::Mat picture_for(const cv::Mat& image, double drawn_px) {
  cv::Mat level = image;
  while (level.cols >= 2 * drawn_px && level.cols >= 32 && level.rows >= 32) {
    cv::Mat smaller;
    cv::pyrDown(level, smaller);
    level = smaller;
  }
  return level;
}

void add_sign(const Sign& s, const Lens& lens, std::vector<Item>& items) {
  double f = s.facing_deg * kPi / 180;
  cv::Vec3d normal(std::cos(f), std::sin(f), 0);
  // The picture's right edge as seen by someone in front of it.
  cv::Vec3d right(-std::sin(f), std::cos(f), 0);
  cv::Vec3d base = at(s.at, s.above_floor_cm), up(0, 0, s.height_cm);
  cv::Vec3d half = right * (s.width_cm / 2), top_left = base - half + up;
  std::vector<cv::Vec3d> quad{top_left, base + half + up, base + half, base - half};
  std::vector<cv::Point> px = lens.clip_and_project(quad);
  if (px.size() < 3) return;
  Footprint footprint{{quad[3][0], quad[3][1]}, {quad[2][0], quad[2][1]}};
  double distance = cv::norm(base + up * 0.5 - lens.centre);
  if ((lens.centre - base).dot(normal) <= 0) {
    // Its back: a plain card.
    items.push_back({footprint, distance, [px](cv::Mat& out) {
                       cv::fillConvexPoly(out, px, cv::Scalar(200, 200, 200), cv::LINE_AA, kShift);
                     }});
    return;
  }
  cv::Rect outline = cv::boundingRect(px);
  cv::Mat image = picture_for(s.image, outline.width / kOne);
  // Picture pixel (c, r) -> point on the card -> pixel of the view: one homography, right
  // wherever the card is in front of the lens; the clipped outline masks the rest. Pixel
  // centres sit half a pixel in from the card's edges.
  cv::Vec3d across = right * (s.width_cm / image.cols), down = -up * (1.0 / image.rows);
  cv::Vec3d corner = top_left + (across + down) * 0.5 - lens.centre;
  cv::Matx33d to_card(across[0], down[0], corner[0], across[1], down[1], corner[1], across[2],
                      down[2], corner[2]);
  // The picture's pixels the outline touches.
  cv::Rect box(cv::Point(static_cast<int>(std::floor(outline.x / kOne)),
                         static_cast<int>(std::floor(outline.y / kOne))),
               cv::Point(static_cast<int>(std::ceil(outline.br().x / kOne)) + 1,
                         static_cast<int>(std::ceil(outline.br().y / kOne)) + 1));
  box &= cv::Rect(0, 0, CameraView::kWidth, CameraView::kHeight);
  if (box.empty()) return;
  cv::Matx33d to_box = cv::Matx33d(1, 0, -box.x, 0, 1, -box.y, 0, 0, 1) * lens.to_pixel() * to_card;
  std::vector<cv::Point> local;
  cv::Point by(static_cast<int>(box.x * kOne), static_cast<int>(box.y * kOne));
  for (const cv::Point& p : px) local.push_back(p - by);
  items.push_back({footprint, distance, [box, local, image, to_box](cv::Mat& out) {
                     cv::Mat patch, mask = cv::Mat::zeros(box.size(), CV_8U);
                     cv::warpPerspective(image, patch, cv::Mat(to_box), box.size(),
                                         cv::INTER_LINEAR, cv::BORDER_REPLICATE);
                     cv::fillConvexPoly(mask, local, 255, cv::LINE_8, kShift);
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
  std::vector<Footprint> footprints;
  std::vector<double> distances;
  for (const Item& item : items) {
    footprints.push_back(item.footprint);
    distances.push_back(item.distance);
  }
  cv::Vec2d eye(lens.centre[0], lens.centre[1]), ahead(lens.forward[0], lens.forward[1]);
  for (std::size_t i : far_to_near(footprints, distances, eye, ahead / cv::norm(ahead)))
    items[i].draw(out);
}

}  // namespace zelk_sim
