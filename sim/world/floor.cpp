#include "world/floor.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace zelk_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kShift = 4;  // sub-pixel bits for drawing
constexpr double kOne = 1 << kShift;

cv::Point fixed(cv::Point2d p) {
  return {static_cast<int>(std::lround(p.x * kOne)), static_cast<int>(std::lround(p.y * kOne))};
}

double grey_of(const cv::Scalar& bgr) {
  return 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2];
}

}  // namespace

Floor::Floor(const World& world) : height_cm_(world.height_cm) {
  cv::Size size(static_cast<int>(std::lround(world.width_cm * kPxPerCm)),
                static_cast<int>(std::lround(world.height_cm * kPxPerCm)));
  if (world.floor_image.empty())
    picture_.create(size, CV_8UC3), picture_.setTo(world.floor);
  else
    cv::resize(world.floor_image, picture_, size, 0, 0, cv::INTER_AREA);
  draw_marks(world);
  draw_line(world);
  cv::cvtColor(picture_, grey_, cv::COLOR_BGR2GRAY);
  dark_below_ = (grey_of(world.floor) + grey_of(world.line_colour)) / 2;
}

bool Floor::dark_at(Point p) const {
  cv::Point2d px = to_px(p);
  int c = static_cast<int>(std::floor(px.x)), r = static_cast<int>(std::floor(px.y));
  if (c < 0 || r < 0 || c >= grey_.cols || r >= grey_.rows) return false;
  return grey_.at<std::uint8_t>(r, c) < dark_below_;
}

void Floor::draw_marks(const World& world) {
  for (const Mark& m : world.marks) {
    cv::Point2d centre = to_px(m.at);
    double half = m.size_cm * kPxPerCm / 2;
    if (m.shape == "circle") {
      cv::circle(picture_, fixed(centre), static_cast<int>(std::lround(half * kOne)), m.colour,
                 cv::FILLED, cv::LINE_AA, kShift);
      continue;
    }
    // Corners around the centre, turned counter-clockwise on the floor (clockwise in pixels,
    // whose rows grow downwards).
    std::vector<double> angles = m.shape == "square" ? std::vector<double>{45, 135, 225, 315}
                                                     : std::vector<double>{90, 210, 330};
    double radius = m.shape == "square" ? half * std::sqrt(2.0) : half * 2 / std::sqrt(3.0);
    std::vector<cv::Point> corners;
    for (double a : angles) {
      double t = (a + m.rotation_deg) * kPi / 180;
      corners.push_back(fixed({centre.x + radius * std::cos(t), centre.y - radius * std::sin(t)}));
    }
    cv::fillConvexPoly(picture_, corners, m.colour, cv::LINE_AA, kShift);
  }
}

void Floor::draw_line(const World& world) {
  const std::vector<Point>& pts = world.line;
  if (pts.size() < 2) return;
  int thickness = std::max(1, static_cast<int>(std::lround(world.line_width_cm * kPxPerCm)));
  double period = world.dash_cm + world.gap_cm;
  // Whether the line is drawn at distance s along it: everywhere but in the gaps of the dotted
  // stretches, whose dashes start at each stretch's beginning.
  auto in_dotted = [&](double s) {
    for (const auto& d : world.dotted)
      if (s >= d.first && s <= d.second) return &d;
    return static_cast<const std::pair<double, double>*>(nullptr);
  };
  // Whether the line is drawn at distance s along it: everywhere but in the gaps of the dotted
  // stretches, whose dashes start at each stretch's beginning.
  auto drawn = [&](double s) {
    const auto* d = in_dotted(s);
    return !d || std::fmod(s - d->first, period) < world.dash_cm;
  };
  auto draw = [&](cv::Point2d a, cv::Point2d b, bool round) {
    cv::line(picture_, fixed(a), fixed(b), world.line_colour, thickness, cv::LINE_AA, kShift);
    if (!round) return;
    // Round joints, so the corners of the polyline leave no notches.
    int r = static_cast<int>(std::lround(thickness * kOne / 2));
    cv::circle(picture_, fixed(a), r, world.line_colour, cv::FILLED, cv::LINE_AA, kShift);
    cv::circle(picture_, fixed(b), r, world.line_colour, cv::FILLED, cv::LINE_AA, kShift);
  };
  double s0 = 0;
  for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
    Point a = pts[i], b = pts[i + 1];
    double len = std::hypot(b.x - a.x, b.y - a.y);
    std::vector<double> cuts{s0, s0 + len};
    for (const auto& d : world.dotted) {
      if (d.second < s0 || d.first > s0 + len) continue;
      cuts.push_back(d.first);
      cuts.push_back(d.second);
      double k = std::max(0.0, std::floor((s0 - d.first) / period));
      for (double s = d.first + k * period; s <= std::min(d.second, s0 + len); s += period) {
        cuts.push_back(s);
        cuts.push_back(s + world.dash_cm);
      }
    }
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t j = 0; j + 1 < cuts.size(); ++j) {
      double u = std::max(cuts[j], s0), v = std::min(cuts[j + 1], s0 + len);
      if (v - u < 1e-6 || !drawn((u + v) / 2)) continue;
      auto at = [&](double s) {
        double t = len > 0 ? (s - s0) / len : 0;
        return to_px({a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)});
      };
      // Solid stretches get round joints; dashes keep their square ends.
      draw(at(u), at(v), !in_dotted((u + v) / 2));
    }
    s0 += len;
  }
}

}  // namespace zelk_sim
