#include "render/draw_order.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace zelk_sim {
namespace {

constexpr double kAheadCm = 0.01;  // footprints are cut to what lies this far ahead or more

double cross(const cv::Vec2d& u, const cv::Vec2d& v) {
  return u[0] * v[1] - u[1] * v[0];
}

// A footprint as seen from the eye: its part ahead of it, and the angles (radians, left of
// `ahead` positive) at which its two ends are seen, lo <= hi.
struct Seen {
  cv::Vec2d a, b;
  double lo = 0, hi = 0;
};

std::optional<Seen> seen_from(const Footprint& f, const cv::Vec2d& eye, const cv::Vec2d& ahead) {
  cv::Vec2d a = f.a - eye, b = f.b - eye;
  double da = a.dot(ahead) - kAheadCm, db = b.dot(ahead) - kAheadCm;
  if (da < 0 && db < 0) return std::nullopt;
  // Behind the eye a footprint's angles would wrap round: keep only its part ahead.
  if (da < 0) a = a + (b - a) * (da / (da - db));
  if (db < 0) b = b + (a - b) * (db / (db - da));
  double ta = std::atan2(cross(ahead, a), a.dot(ahead));
  double tb = std::atan2(cross(ahead, b), b.dot(ahead));
  return Seen{a, b, std::min(ta, tb), std::max(ta, tb)};
}

// How far along the line of sight at `angle` the footprint is.
double reach(const Seen& s, const cv::Vec2d& ahead, double angle) {
  cv::Vec2d left(-ahead[1], ahead[0]);
  cv::Vec2d ray = ahead * std::cos(angle) + left * std::sin(angle);
  cv::Vec2d along = s.b - s.a;
  double d = cross(ray, along);
  // Seen edge on: the whole footprint lies on this line of sight; its near end is what counts.
  if (std::fabs(d) < 1e-9) return std::min(cv::norm(s.a), cv::norm(s.b));
  return cross(s.a, along) / d;
}

}  // namespace

std::vector<std::size_t> far_to_near(const std::vector<Footprint>& footprints,
                                     const std::vector<double>& distance, const cv::Vec2d& eye,
                                     const cv::Vec2d& ahead) {
  const std::size_t n = footprints.size();
  std::vector<std::optional<Seen>> seen;
  for (const Footprint& f : footprints) seen.push_back(seen_from(f, eye, ahead));
  // hides[i * n + j]: i is nearer than j on a line of sight through both.
  std::vector<char> hides(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (!seen[i] || !seen[j]) continue;
      double lo = std::max(seen[i]->lo, seen[j]->lo), hi = std::min(seen[i]->hi, seen[j]->hi);
      if (lo > hi) continue;
      double angle = (lo + hi) / 2;
      double ri = reach(*seen[i], ahead, angle), rj = reach(*seen[j], ahead, angle);
      if (ri < rj) hides[i * n + j] = 1;
      if (rj < ri) hides[j * n + i] = 1;
    }
  }
  // Paint next the farthest of the things that hide nothing still unpainted (or, should every
  // one hide another, the farthest of all).
  std::vector<std::size_t> order;
  std::vector<char> painted(n, 0);
  for (std::size_t step = 0; step < n; ++step) {
    std::optional<std::size_t> best, best_any;
    for (std::size_t i = 0; i < n; ++i) {
      if (painted[i]) continue;
      if (!best_any || distance[i] > distance[*best_any]) best_any = i;
      bool free = true;
      for (std::size_t j = 0; j < n && free; ++j) free = painted[j] || !hides[i * n + j];
      if (free && (!best || distance[i] > distance[*best])) best = i;
    }
    std::size_t next = best ? *best : *best_any;
    painted[next] = 1;
    order.push_back(next);
  }
  return order;
}

}  // namespace zelk_sim
