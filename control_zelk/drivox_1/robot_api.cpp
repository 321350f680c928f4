// The classes a learner's program uses: the car, one IO channel, a DC motor, a steering
// servo, the ultrasonic sensor, the line tracker and a stopwatch. Arguments are checked
// with assertion semantics (AssertionError with a short message, skipped under -O).
#include "drivox.hpp"
#include "py_class.hpp"
#include "py_fast_calls.hpp"
#include "py_print.hpp"

namespace drivox {
namespace {

using zelk::def_fast_method;

// Runs the family's constructor with the given function name and its default type code.
void family_init(py::object self, const char* family, const char* function) {
  global(family).attr("__init__")(self, function);
}

// ---- Car ----
void chassis(py::object self, const char* which, py::object speed) {
  zelk::call_method_kw(self, "Chassis_exe", which, speed);
}

// ---- Use_io ----
void use_function(py::object self, const char* function) {
  self.attr("id_list")[py::int_(1)] = self.attr("dic")[function];
}

py::object io_read(py::object self) {
  use_function(self, "Digit_in");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(8)); }, "Com is no exit");
  self.attr("io_data") = self.attr("readIo")(self.attr("io_com"));
  return self.attr("io_data");
}

py::object ios_read(py::object self) {
  use_function(self, "Digit_in");
  self.attr("ios_data") = self.attr("readIos")();
  return self.attr("ios_data");
}

void io_write(py::object self, py::object io_level) {
  use_function(self, "Digit_out");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(8)); }, "Com is no exited");
  self.attr("output")(self.attr("io_com"), io_level);
}

void pwm_use(py::object self, py::object pwm_freq, py::object pwm_duty) {
  use_function(self, "Pwm_out");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(4)); }, "PWM_COM should < 4");
  zelk::check([&] { return zelk::ne(pwm_freq, py::int_(0)); }, "PWM_frequency is no inputed");
  zelk::check([&] { return zelk::le(pwm_duty, py::int_(100)); }, "PWM_duty should <=100");
  self.attr("pwmOutput")(self.attr("io_com"), pwm_freq, pwm_duty);
}

// ---- Cur_motor ----
void cur_run(py::object self, py::object mode, py::object speed, py::object pulse) {
  self.attr("cur_exe")(py::arg("id") = self.attr("motor_id"), py::arg("mode") = mode,
                       py::arg("speed") = speed, py::arg("pulse") = pulse);
}

// ---- Ste_motor ----
void ste_exe(py::object self, py::object ste_duty) {
  zelk::check([&] { return zelk::ne(self.attr("ste_id"), py::int_(0)); }, "ID is no inputed");
  zelk::check([&] { return zelk::le(ste_duty, py::int_(100)); }, "duty should <=100 ");
  self.attr("steer_exe")(py::arg("id") = self.attr("ste_id"), py::arg("pwm") = ste_duty);
}

// ---- Ul_sensor ----
py::object ul_get(py::object self) {
  zelk::check([&] { return zelk::ne(self.attr("ul_id"), py::int_(0)); }, "ID is no inputed");
  return self.attr("ul_getDistance")(py::arg("sensorID") = self.attr("ul_id"));
}

// ---- Line_track ----
void l_start(py::object self, py::object l_sp) {
  zelk::check([&] { return zelk::ne(l_sp, py::int_(0)); }, "SPEED is no inputed");
  self.attr("line_track")(py::arg("start") = 1, py::arg("speed") = l_sp);
}

// A learner class on a device family, keeping its channel/device number in `attr`.
py::object numbered_class(py::module_& m, const char* name, const char* family,
                          const char* function, const char* attr) {
  py::object cls = zelk::make_class(m, name, py::make_tuple(global(family)));
  zelk::def_init(
      cls,
      [family, function, attr](py::object self, py::object number) {
        family_init(self, family, function);
        self.attr(attr) = number;
      },
      py::arg(attr));
  return cls;
}

py::object plain_class(py::module_& m, const char* name, const char* family, const char* function) {
  py::object cls = zelk::make_class(m, name, py::make_tuple(global(family)));
  zelk::def_init(cls, [family, function](py::object self) { family_init(self, family, function); });
  return cls;
}

// ---- time_count ----
py::object now() {
  return global("time").attr("time")();
}

void time_count_init(py::object self) {
  for (const char* attr : {"start_time", "end_time", "total_time"}) self.attr(attr) = 0;
}

void end_count(py::object self) {
  self.attr("end_time") = now();
  self.attr("total_time") =
      binop(PyNumber_Subtract, self.attr("end_time"), self.attr("start_time"));
}

}  // namespace

void add_robot_api(py::module_& m) {
  const auto sp = py::arg("car_sp") = 0;
  py::object car = plain_class(m, "Car", "Chassis", "Spo_chassis");
  def_fast_method(
      car, "car_go", [](py::object s, py::object v) { chassis(s, "speed_s", v); }, sp);
  def_fast_method(
      car, "car_back", [](py::object s, py::object v) { chassis(s, "speed_s", neg(v)); }, sp);
  def_fast_method(
      car, "car_across_l", [](py::object s, py::object v) { chassis(s, "speed_l", v); }, sp);
  def_fast_method(
      car, "car_across_r", [](py::object s, py::object v) { chassis(s, "speed_l", neg(v)); }, sp);
  def_fast_method(
      car, "car_turn_r", [](py::object s, py::object v) { chassis(s, "speed_h", v); }, sp);
  def_fast_method(
      car, "car_turn_l", [](py::object s, py::object v) { chassis(s, "speed_h", neg(v)); }, sp);
  def_fast_method(car, "car_stop", [](py::object s) { s.attr("Chassis_exe")(0, 0, 0); });

  py::object use_io = numbered_class(m, "Use_io", "Io", "Other", "io_com");
  def_fast_method(use_io, "Io_read", &io_read);
  def_fast_method(use_io, "Ios_read", &ios_read);
  def_fast_method(use_io, "Io_write", &io_write, py::arg("io_level") = 0);
  def_fast_method(use_io, "pwm_use", &pwm_use, py::arg("pwm_freq") = 0, py::arg("pwm_duty") = 0);

  py::object cur = numbered_class(m, "Cur_motor", "Motor", "Cur_motor", "motor_id");
  const auto speed = py::arg("cur_speed") = 0, pulse = py::arg("cur_pulse") = 0;
  def_fast_method(
      cur, "Cur_go",
      [](py::object s, py::object v, py::object p) { cur_run(s, py::int_(1), v, p); }, speed,
      pulse);
  def_fast_method(
      cur, "Cur_back",
      [](py::object s, py::object v, py::object p) { cur_run(s, py::int_(1), neg(v), p); }, speed,
      pulse);
  def_fast_method(cur, "Cur_stop",
                  [](py::object s) { cur_run(s, py::int_(0), py::int_(0), py::int_(0)); });

  py::object ste = numbered_class(m, "Ste_motor", "Motor", "Ste_motor", "ste_id");
  def_fast_method(ste, "Ste_exe", &ste_exe, py::arg("ste_duty") = 0);

  py::object ul = numbered_class(m, "Ul_sensor", "Sensor", "Ul_sensor", "ul_id");
  def_fast_method(ul, "ul_get", &ul_get);

  py::object line = plain_class(m, "Line_track", "Conpound", "Line_track");
  def_fast_method(line, "l_start", &l_start, py::arg("l_sp") = 0);
  def_fast_method(line, "l_stop", [](py::object s) {
    s.attr("line_track")(py::arg("start") = 0, py::arg("speed") = 0);
  });

  py::object timer = zelk::make_class(m, "time_count");
  zelk::def_init(timer, &time_count_init);
  def_fast_method(timer, "start_count", [](py::object s) { s.attr("start_time") = now(); });
  def_fast_method(timer, "end_count", &end_count);
}

}  // namespace drivox
