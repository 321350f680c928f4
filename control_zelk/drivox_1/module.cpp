// control_zelk.Drivox_1: drives the car's controller board over the serial line.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "drivox.hpp"
#include "py_module.hpp"
#include "py_names.hpp"
#include "safety_stop.hpp"

namespace py = pybind11;

namespace {

py::dict make_dict(std::initializer_list<std::pair<const char*, int>> items) {
  py::dict d;
  for (const auto& [key, value] : items) d[key] = value;
  return d;
}

}  // namespace

ZELK_MODULE(Drivox_1, m) {
  m.doc() = "Controller board of the robot car: command frames over the serial line.";
  zelk::bind_module(m);
  m.attr("serial") = py::module_::import("serial");
  m.attr("time") = py::module_::import("time");

  // The board's command vocabulary: family name -> type code (frame byte 2), and per family
  // function name -> function code (frame byte 3).
  m.attr("case_dict") = make_dict(
      {{"Other", 0}, {"Chassis", 1}, {"Io", 2}, {"Motor", 3}, {"Sensor", 4}, {"Conpound", 5}});
  m.attr("Chassis_dict") = make_dict({{"Spo_chassis", 1}, {"Other", 2}});
  m.attr("Io_dict") = make_dict({{"Digit_in", 1}, {"Digit_out", 2}, {"Pwm_out", 3}, {"Other", 4}});
  m.attr("Motor_dict") = make_dict({{"Cur_motor", 1}, {"Ste_motor", 2}, {"Other", 3}});
  m.attr("Sensor_dict") = make_dict({{"Ul_sensor", 1}, {"Other", 2}});
  m.attr("Conpound_dict") = make_dict({{"Line_track", 1}, {"Other", 2}});

  drivox::add_serial_link(m);
  drivox::add_device_commands(m);
  drivox::add_robot_api(m);
  drivox::add_demo(m);
  drivox::install_safety_stop(m);
}
