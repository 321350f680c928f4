#include "world/sensors.hpp"

#include <algorithm>
#include <cmath>

namespace zelk_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Vec {
  double x, y;
};
Vec operator-(Point a, Point b) {
  return {a.x - b.x, a.y - b.y};
}
double cross(Vec a, Vec b) {
  return a.x * b.y - a.y * b.x;
}
double dot(Vec a, Vec b) {
  return a.x * b.x + a.y * b.y;
}

Vec direction(double heading_deg) {
  double h = heading_deg * kPi / 180;
  return {std::cos(h), std::sin(h)};
}

Point ahead(const Pose& p, double forward_cm, double right_cm = 0) {
  Vec f = direction(p.heading_deg);
  return {p.x_cm + f.x * forward_cm + f.y * right_cm, p.y_cm + f.y * forward_cm - f.x * right_cm};
}

// Distance along the ray o + t d (|d| = 1) to the segment a-b, or -1 when it misses.
double ray_segment(Point o, Vec d, Point a, Point b) {
  Vec e = b - a, w = a - o;
  double den = cross(d, e);
  if (std::fabs(den) < 1e-12) return -1;
  double t = cross(w, e) / den, u = cross(w, d) / den;
  return t >= 0 && u >= 0 && u <= 1 ? t : -1;
}

// Distance along the ray to the circle, or -1 when it misses (0 from inside).
double ray_circle(Point o, Vec d, Point c, double r) {
  Vec w = c - o;
  double along = dot(w, d), miss2 = dot(w, w) - along * along;
  if (dot(w, w) <= r * r) return 0;
  if (along < 0 || miss2 > r * r) return -1;
  return along - std::sqrt(r * r - miss2);
}

bool segments_cross(Point a, Point b, Point c, Point d) {
  double d1 = cross(b - a, c - a), d2 = cross(b - a, d - a);
  double d3 = cross(d - c, a - c), d4 = cross(d - c, b - c);
  return ((d1 > 0) != (d2 > 0)) && ((d3 > 0) != (d4 > 0));
}

double point_segment_distance(Point p, Point a, Point b) {
  Vec e = b - a, w = p - a;
  double len2 = dot(e, e), t = len2 > 0 ? std::clamp(dot(w, e) / len2, 0.0, 1.0) : 0;
  return std::hypot(w.x - t * e.x, w.y - t * e.y);
}

}  // namespace

unsigned ultrasonic_cm(const World& world, const Pose& pose) {
  const CarConstants& car = world.car;
  Point origin = ahead(pose, car.ultrasonic_forward_cm);
  double nearest = -1;
  // A sensor's beam is a narrow cone: three rays across it.
  for (double spread : {-7.5, 0.0, 7.5}) {
    Vec d = direction(pose.heading_deg + spread);
    auto take = [&](double t) {
      if (t >= 0 && (nearest < 0 || t < nearest)) nearest = t;
    };
    for (const Wall& w : world.walls) take(ray_segment(origin, d, w.from, w.to));
    for (const Ball& b : world.balls) take(ray_circle(origin, d, b.at, b.radius_cm));
  }
  double reading = nearest < 0 ? car.ultrasonic_max_cm
                               : std::clamp(nearest, car.ultrasonic_min_cm, car.ultrasonic_max_cm);
  return static_cast<unsigned>(std::lround(std::min(reading, 65535.0)));
}

double line_sensor_offset_cm(const CarConstants& car, int i) {
  return (i - (car.line_sensor_count - 1) / 2) * car.line_sensors_spacing_cm;
}

unsigned line_sensor_bits(const World& world, const Floor& floor, const Pose& pose) {
  const CarConstants& car = world.car;
  unsigned bits = 0;
  for (int i = 0; i < static_cast<int>(car.line_sensor_count); ++i) {
    Point at = ahead(pose, car.line_sensors_forward_cm, line_sensor_offset_cm(car, i));
    if (floor.dark_at(at)) bits |= 1u << i;
  }
  return bits;
}

bool touches_something(const World& world, const Pose& pose) {
  const CarConstants& car = world.car;
  double l = car.length_cm / 2, w = car.width_cm / 2;
  Point corners[4] = {ahead(pose, l, -w), ahead(pose, l, w), ahead(pose, -l, w),
                      ahead(pose, -l, -w)};
  auto inside = [&](Point p) {
    Vec f = direction(pose.heading_deg), r{f.y, -f.x};
    Vec v = p - Point{pose.x_cm, pose.y_cm};
    return std::fabs(dot(v, f)) <= l && std::fabs(dot(v, r)) <= w;
  };
  for (const Wall& wall : world.walls) {
    if (inside(wall.from) || inside(wall.to)) return true;
    for (int i = 0; i < 4; ++i)
      if (segments_cross(corners[i], corners[(i + 1) % 4], wall.from, wall.to)) return true;
  }
  for (const Ball& b : world.balls) {
    if (inside(b.at)) return true;
    for (int i = 0; i < 4; ++i)
      if (point_segment_distance(b.at, corners[i], corners[(i + 1) % 4]) < b.radius_cm) return true;
  }
  return false;
}

}  // namespace zelk_sim
