// The simulated car's body: its constants (settable per world and per run), its pose on the
// floor and how the chassis speeds move it.
#pragma once

#include <string>

namespace zelk_sim {

// Floor coordinates in cm, x to the right, y up; heading in degrees counter-clockwise from +x.
struct Pose {
  double x_cm = 0;
  double y_cm = 0;
  double heading_deg = 0;
};

// Defaults chosen to look like a small classroom car: car_go(30) runs at 15 cm/s,
// car_turn_r(10) turns at 20 degrees/s, and the camera looks down at the floor ahead.
struct CarConstants {
  double forward_cm_s_per_unit = 0.5;
  double sideways_cm_s_per_unit = 0.5;
  double turn_deg_s_per_unit = 2.0;
  double line_track_cm_s_per_unit = 0.25;
  double length_cm = 20;
  double width_cm = 15;
  double camera_forward_cm = 8;  // from the car's centre
  double camera_height_cm = 15;
  double camera_tilt_deg = 30;  // down from horizontal
  double camera_fov_deg = 62;   // horizontal
  double camera_fps = 30;
  double ultrasonic_forward_cm = 10;
  double ultrasonic_min_cm = 2;
  double ultrasonic_max_cm = 400;
  double line_sensors_forward_cm = 8;
  double line_sensor_count = 5;
  double line_sensors_spacing_cm = 1.5;

  // Sets the constant called `name`; false (with the reason) for an unknown name or a value
  // out of its range.
  bool set(const std::string& name, double value, std::string& error);
  // "name=value" as given on the command line.
  bool set(const std::string& assignment, std::string& error);
  // All of them, "name=value" separated by spaces.
  std::string describe() const;
};

// What moves the car during one step, in cm/s and degrees/s (counter-clockwise positive).
struct Motion {
  double forward_cm_s = 0;
  double left_cm_s = 0;
  double turn_deg_s = 0;
};

// The chassis command (speed_s forward, speed_l to the left, speed_h turning right) as motion.
Motion chassis_motion(const CarConstants& car, int speed_s, int speed_l, int speed_h);

// The pose after moving for dt seconds (turning and travelling at once, along the arc).
Pose move(const Pose& pose, const Motion& motion, double dt_s);

// Heading folded into (-180, 180].
double normal_heading(double deg);

}  // namespace zelk_sim
