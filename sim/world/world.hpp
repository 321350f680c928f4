// A world for the simulated car: the floor (colour, picture, the line, flat marks), the things
// standing on it (walls, balls, signs) and where the car starts, read from a JSON or YAML file
// that a teacher can write. Lengths in cm, floor coordinates as in car_model.hpp.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "world/car_model.hpp"

namespace zelk_sim {

struct Point {
  double x = 0;
  double y = 0;
};

struct Wall {
  Point from, to;
  double height_cm = 20;
  cv::Scalar colour;  // BGR
};

struct Ball {
  Point at;
  double radius_cm = 4;
  cv::Scalar colour;
};

// A picture standing upright (a QR card, a face), seen from the side it faces.
struct Sign {
  Point at;
  double facing_deg = 0;
  double width_cm = 20;
  double height_cm = 20;
  double above_floor_cm = 0;
  cv::Mat image;  // BGR
};

// A flat shape painted on the floor.
struct Mark {
  std::string shape;  // "circle", "square" or "triangle"
  Point at;
  double size_cm = 10;
  double rotation_deg = 0;
  cv::Scalar colour;
};

struct World {
  std::string name;
  std::string path;
  double width_cm = 0;
  double height_cm = 0;
  cv::Scalar floor{224, 221, 217};
  cv::Scalar background{208, 204, 200};
  cv::Mat floor_image;      // BGR, stretched over the whole floor
  std::vector<Point> line;  // a loop when the last point equals the first
  double line_width_cm = 2.5;
  cv::Scalar line_colour{28, 28, 28};
  std::vector<std::pair<double, double>> dotted;  // along the line, from its first point
  double dash_cm = 5;
  double gap_cm = 3;
  Pose start;
  std::vector<Wall> walls;
  std::vector<Ball> balls;
  std::vector<Sign> signs;
  std::vector<Mark> marks;
  CarConstants car;
};

// Reads a world file; false with a message naming the file and what is wrong in it.
bool load_world(const std::string& path, World& world, std::string& error);

}  // namespace zelk_sim
