#include "world/car_model.hpp"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace zelk_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Field {
  const char* name;
  double CarConstants::* member;
  double low;
  double high;
};

// Ranges keep the geometry meaningful (a camera above the floor looking down, a field of view
// a lens can have) and the numbers finite.
const Field kFields[] = {
    {"forward_cm_s_per_unit", &CarConstants::forward_cm_s_per_unit, 0, 100},
    {"sideways_cm_s_per_unit", &CarConstants::sideways_cm_s_per_unit, 0, 100},
    {"turn_deg_s_per_unit", &CarConstants::turn_deg_s_per_unit, 0, 360},
    {"line_track_cm_s_per_unit", &CarConstants::line_track_cm_s_per_unit, 0, 100},
    {"length_cm", &CarConstants::length_cm, 1, 500},
    {"width_cm", &CarConstants::width_cm, 1, 500},
    {"camera_forward_cm", &CarConstants::camera_forward_cm, -250, 250},
    {"camera_height_cm", &CarConstants::camera_height_cm, 1, 500},
    {"camera_tilt_deg", &CarConstants::camera_tilt_deg, 0, 89},
    {"camera_fov_deg", &CarConstants::camera_fov_deg, 10, 150},
    {"camera_fps", &CarConstants::camera_fps, 1, 240},
    {"ultrasonic_forward_cm", &CarConstants::ultrasonic_forward_cm, -250, 250},
    {"ultrasonic_min_cm", &CarConstants::ultrasonic_min_cm, 0, 65535},
    {"ultrasonic_max_cm", &CarConstants::ultrasonic_max_cm, 0, 65535},
    {"line_sensors_forward_cm", &CarConstants::line_sensors_forward_cm, -250, 250},
    {"line_sensor_count", &CarConstants::line_sensor_count, 1, 16},
    {"line_sensors_spacing_cm", &CarConstants::line_sensors_spacing_cm, 0.1, 20},
};

}  // namespace

bool CarConstants::set(const std::string& name, double value, std::string& error) {
  for (const Field& f : kFields) {
    if (name != f.name) continue;
    if (!(value >= f.low && value <= f.high)) {
      std::ostringstream out;
      out << "car constant " << name << " must be " << f.low << ".." << f.high << ", not " << value;
      error = out.str();
      return false;
    }
    this->*f.member = value;
    return true;
  }
  std::string names;
  for (const Field& f : kFields) names += std::string(names.empty() ? "" : ", ") + f.name;
  error = "unknown car constant '" + name + "'; the constants are " + names;
  return false;
}

bool CarConstants::set(const std::string& assignment, std::string& error) {
  std::size_t eq = assignment.find('=');
  if (eq == std::string::npos) {
    error = "expected NAME=VALUE, not '" + assignment + "'";
    return false;
  }
  std::string text = assignment.substr(eq + 1);
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') {
    error = "car constant " + assignment.substr(0, eq) + ": '" + text + "' is not a number";
    return false;
  }
  return set(assignment.substr(0, eq), value, error);
}

std::string CarConstants::describe() const {
  std::ostringstream out;
  for (const Field& f : kFields) {
    if (&f != std::begin(kFields)) out << ' ';
    out << f.name << '=' << this->*f.member;
  }
  return out.str();
}

Motion chassis_motion(const CarConstants& car, int speed_s, int speed_l, int speed_h) {
  return {speed_s * car.forward_cm_s_per_unit, speed_l * car.sideways_cm_s_per_unit,
          -speed_h * car.turn_deg_s_per_unit};
}

Pose move(const Pose& pose, const Motion& m, double dt) {
  // The velocity turns with the car during the step; integrating along the arc keeps a car
  // that drives in a circle on its circle however long the step.
  double h0 = pose.heading_deg * kPi / 180;
  double w = m.turn_deg_s * kPi / 180;
  double dh = w * dt;
  // Displacement in the car's frame at the start of the step: integral of R(w t) v dt.
  double s, c;
  if (std::fabs(dh) < 1e-9) {
    s = dt;
    c = 0;
  } else {
    s = std::sin(dh) / w;
    c = (1 - std::cos(dh)) / w;
  }
  double fx = m.forward_cm_s * s - m.left_cm_s * c;
  double ly = m.forward_cm_s * c + m.left_cm_s * s;
  Pose out;
  out.x_cm = pose.x_cm + fx * std::cos(h0) - ly * std::sin(h0);
  out.y_cm = pose.y_cm + fx * std::sin(h0) + ly * std::cos(h0);
  out.heading_deg = normal_heading(pose.heading_deg + m.turn_deg_s * dt);
  return out;
}

double normal_heading(double deg) {
  double h = std::fmod(deg, 360.0);
  if (h <= -180) h += 360;
  if (h > 180) h -= 360;
  return h;
}

}  // namespace zelk_sim
