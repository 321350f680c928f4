#include "world/world.hpp"

#include <opencv2/imgcodecs.hpp>
#include <set>
#include <stdexcept>

namespace zelk_sim {
namespace {

// Errors while reading carry the place in the file ("balls[2].colour: ...").
struct BadWorld : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw BadWorld(where + ": " + what);
}

void only_keys(const cv::FileNode& map, const std::string& where,
               const std::set<std::string>& keys) {
  if (!map.isMap()) fail(where, "expected an object { ... }");
  for (cv::FileNodeIterator it = map.begin(); it != map.end(); ++it) {
    std::string key = (*it).name();
    if (!keys.count(key)) {
      std::string known;
      for (const std::string& k : keys) known += (known.empty() ? "" : ", ") + k;
      fail(where, "unknown key '" + key + "' (known: " + known + ")");
    }
  }
}

double number(const cv::FileNode& n, const std::string& where, double low, double high) {
  if (!n.isReal() && !n.isInt()) fail(where, "expected a number");
  double v = n.real();
  if (!(v >= low && v <= high))
    fail(where, "must be between " + std::to_string(low) + " and " + std::to_string(high));
  return v;
}

double number_or(const cv::FileNode& map, const char* key, const std::string& where, double low,
                 double high, double fallback) {
  cv::FileNode n = map[key];
  return n.empty() ? fallback : number(n, where.empty() ? key : where + "." + key, low, high);
}

constexpr double kFar = 100000;  // cm: coordinates beyond this are surely a mistake

Point point(const cv::FileNode& n, const std::string& where) {
  if (!n.isSeq() || n.size() != 2) fail(where, "expected a point [x, y] in cm");
  return {number(n[0], where + "[0]", -kFar, kFar), number(n[1], where + "[1]", -kFar, kFar)};
}

cv::Scalar colour(const cv::FileNode& n, const std::string& where) {
  std::string text = n.isString() ? n.string() : "";
  bool ok = text.size() == 7 && text[0] == '#' &&
            text.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos;
  if (!ok) fail(where, "expected a colour \"#rrggbb\"");
  auto channel = [&](int i) { return std::stoi(text.substr(1 + 2 * i, 2), nullptr, 16); };
  return cv::Scalar(channel(2), channel(1), channel(0));
}

cv::Scalar colour_or(const cv::FileNode& map, const char* key, const std::string& where,
                     cv::Scalar fallback) {
  cv::FileNode n = map[key];
  return n.empty() ? fallback : colour(n, where.empty() ? key : where + "." + key);
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

cv::Mat picture(const cv::FileNode& n, const std::string& where, const std::string& folder) {
  if (!n.isString()) fail(where, "expected the name of a picture file");
  std::string name = n.string();
  std::string path = !name.empty() && name[0] == '/' ? name : folder + name;
  cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  if (image.empty()) fail(where, "cannot read a picture from " + path);
  return image;
}

template <class T, class F>
std::vector<T> list(const cv::FileNode& n, const std::string& where, F item) {
  std::vector<T> out;
  if (n.empty()) return out;
  if (!n.isSeq()) fail(where, "expected a list [ ... ]");
  for (int i = 0; i < static_cast<int>(n.size()); ++i)
    out.push_back(item(n[i], where + "[" + std::to_string(i) + "]"));
  return out;
}

Pose start_pose(const cv::FileNode& n, const World& w) {
  Pose p{w.width_cm / 2, w.height_cm / 2, 90};
  if (n.empty()) return p;
  only_keys(n, "start", {"x_cm", "y_cm", "heading_deg"});
  p.x_cm = number_or(n, "x_cm", "start", -kFar, kFar, p.x_cm);
  p.y_cm = number_or(n, "y_cm", "start", -kFar, kFar, p.y_cm);
  p.heading_deg = normal_heading(number_or(n, "heading_deg", "start", -3600, 3600, p.heading_deg));
  return p;
}

void read_car(const cv::FileNode& n, CarConstants& car) {
  if (n.empty()) return;
  if (!n.isMap()) fail("car", "expected an object { ... }");
  for (cv::FileNodeIterator it = n.begin(); it != n.end(); ++it) {
    std::string key = (*it).name(), error;
    if (!car.set(key, number(*it, "car." + key, -1e9, 1e9), error)) fail("car", error);
  }
}

void read_world(const cv::FileNode& root, World& w) {
  only_keys(root, "the world",
            {"name", "size_cm", "floor", "floor_image", "background", "line", "line_width_cm",
             "line_colour", "dotted", "dash_cm", "gap_cm", "start", "walls", "balls", "signs",
             "marks", "car"});
  std::string folder = folder_of(w.path);
  if (!root["name"].empty()) w.name = root["name"].string();
  cv::FileNode size = root["size_cm"];
  if (size.empty()) fail("size_cm", "missing: the floor's [width, height] in cm");
  if (!size.isSeq() || size.size() != 2) fail("size_cm", "expected [width, height] in cm");
  w.width_cm = number(size[0], "size_cm[0]", 10, 10000);
  w.height_cm = number(size[1], "size_cm[1]", 10, 10000);
  w.floor = colour_or(root, "floor", "", w.floor);
  w.background = colour_or(root, "background", "", w.background);
  if (!root["floor_image"].empty())
    w.floor_image = picture(root["floor_image"], "floor_image", folder);
  w.line = list<Point>(root["line"], "line", point);
  if (w.line.size() == 1) fail("line", "a line needs at least two points");
  w.line_width_cm = number_or(root, "line_width_cm", "", 0.1, 100, w.line_width_cm);
  w.line_colour = colour_or(root, "line_colour", "", w.line_colour);
  w.dotted = list<std::pair<double, double>>(
      root["dotted"], "dotted", [](const cv::FileNode& n, const std::string& at) {
        Point p = point(n, at);
        if (p.y < p.x) fail(at, "expected [from_cm, to_cm] with from_cm <= to_cm");
        return std::make_pair(p.x, p.y);
      });
  w.dash_cm = number_or(root, "dash_cm", "", 0.1, 1000, w.dash_cm);
  w.gap_cm = number_or(root, "gap_cm", "", 0.1, 1000, w.gap_cm);
  w.start = start_pose(root["start"], w);
  w.walls = list<Wall>(root["walls"], "walls", [](const cv::FileNode& n, const std::string& at) {
    only_keys(n, at, {"from", "to", "height_cm", "colour"});
    Wall wall;
    wall.from = point(n["from"], at + ".from");
    wall.to = point(n["to"], at + ".to");
    wall.height_cm = number_or(n, "height_cm", at, 0.1, 1000, wall.height_cm);
    wall.colour = colour_or(n, "colour", at, cv::Scalar(168, 164, 160));
    return wall;
  });
  w.balls = list<Ball>(root["balls"], "balls", [](const cv::FileNode& n, const std::string& at) {
    only_keys(n, at, {"at", "radius_cm", "colour"});
    Ball ball;
    ball.at = point(n["at"], at + ".at");
    ball.radius_cm = number_or(n, "radius_cm", at, 0.1, 1000, ball.radius_cm);
    ball.colour = colour_or(n, "colour", at, cv::Scalar(68, 158, 47));
    return ball;
  });
  w.signs = list<Sign>(root["signs"], "signs", [&](const cv::FileNode& n, const std::string& at) {
    only_keys(n, at, {"at", "facing_deg", "width_cm", "height_cm", "above_floor_cm", "image"});
    Sign sign;
    sign.at = point(n["at"], at + ".at");
    sign.facing_deg = number_or(n, "facing_deg", at, -3600, 3600, sign.facing_deg);
    sign.width_cm = number_or(n, "width_cm", at, 0.1, 1000, sign.width_cm);
    sign.height_cm = number_or(n, "height_cm", at, 0.1, 1000, sign.height_cm);
    sign.above_floor_cm = number_or(n, "above_floor_cm", at, 0, 1000, sign.above_floor_cm);
    if (n["image"].empty()) fail(at, "missing: the sign's picture (\"image\")");
    sign.image = picture(n["image"], at + ".image", folder);
    return sign;
  });
  w.marks = list<Mark>(root["marks"], "marks", [](const cv::FileNode& n, const std::string& at) {
    only_keys(n, at, {"shape", "at", "size_cm", "rotation_deg", "colour"});
    Mark mark;
    mark.shape = n["shape"].isString() ? n["shape"].string() : "";
    if (mark.shape != "circle" && mark.shape != "square" && mark.shape != "triangle")
      fail(at + ".shape", "expected \"circle\", \"square\" or \"triangle\"");
    mark.at = point(n["at"], at + ".at");
    mark.size_cm = number_or(n, "size_cm", at, 0.1, 1000, mark.size_cm);
    mark.rotation_deg = number_or(n, "rotation_deg", at, -3600, 3600, mark.rotation_deg);
    mark.colour = colour_or(n, "colour", at, cv::Scalar(15, 72, 217));
    return mark;
  });
  read_car(root["car"], w.car);
}

}  // namespace

bool load_world(const std::string& path, World& world, std::string& error) {
  World w;
  w.path = path;
  try {
    cv::FileStorage file(path, cv::FileStorage::READ);
    if (!file.isOpened()) {
      error = path + ": cannot open it as a JSON or YAML world file";
      return false;
    }
    read_world(file.root(), w);
  } catch (const BadWorld& e) {
    error = path + ": " + e.what();
    return false;
  } catch (const cv::Exception& e) {
    error = path + ": not a readable JSON or YAML file (" + e.msg + ")";
    return false;
  }
  world = std::move(w);
  return true;
}

}  // namespace zelk_sim
