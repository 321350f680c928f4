// The classes a learner's program uses: the car, one IO channel, a DC motor, a steering
// servo, the ultrasonic sensor, the line tracker and a stopwatch. Arguments are checked
// with assertion semantics (AssertionError with a short message, skipped under -O).
#include "drivox.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"

namespace drivox {
namespace {

using zelk::def;
using zelk::neg;

// Runs the family's constructor with the given function name and its default type code.
void family_init(py::object self, zelk::Id family, const char* function) {
  zelk::call_method(zelk::global(family), ZELK_ID("__init__"), self, py::str(function));
}

// ---- Car ----
void chassis_s(py::object self, py::object speed) {
  zelk::call_method(self, ZELK_ID("Chassis_exe"), ZELK_KW("speed_s"), speed);
}
void chassis_l(py::object self, py::object speed) {
  zelk::call_method(self, ZELK_ID("Chassis_exe"), ZELK_KW("speed_l"), speed);
}
void chassis_h(py::object self, py::object speed) {
  zelk::call_method(self, ZELK_ID("Chassis_exe"), ZELK_KW("speed_h"), speed);
}

// ---- Use_io ----
void use_function(py::object self, const char* function) {
  self.attr("id_list")[py::int_(1)] = self.attr("dic")[function];
}

py::object io_read(py::object self) {
  use_function(self, "Digit_in");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(8)); }, "Com is no exit");
  self.attr("io_data") = zelk::call_method(self, ZELK_ID("readIo"), self.attr("io_com"));
  return self.attr("io_data");
}

py::object ios_read(py::object self) {
  use_function(self, "Digit_in");
  self.attr("ios_data") = zelk::call_method(self, ZELK_ID("readIos"));
  return self.attr("ios_data");
}

void io_write(py::object self, py::object io_level) {
  use_function(self, "Digit_out");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(8)); }, "Com is no exited");
  zelk::call_method(self, ZELK_ID("output"), self.attr("io_com"), io_level);
}

void pwm_use(py::object self, py::object pwm_freq, py::object pwm_duty) {
  use_function(self, "Pwm_out");
  zelk::check([&] { return zelk::lt(self.attr("io_com"), py::int_(4)); }, "PWM_COM should < 4");
  zelk::check([&] { return zelk::ne(pwm_freq, py::int_(0)); }, "PWM_frequency is no inputed");
  zelk::check([&] { return zelk::le(pwm_duty, py::int_(100)); }, "PWM_duty should <=100");
  zelk::call_method(self, ZELK_ID("pwmOutput"), self.attr("io_com"), pwm_freq, pwm_duty);
}

// ---- Cur_motor ----
void cur_run(py::object self, py::object mode, py::object speed, py::object pulse) {
  zelk::call_method(self, ZELK_ID("cur_exe"), ZELK_KW("id", "mode", "speed", "pulse"),
                    self.attr("motor_id"), mode, speed, pulse);
}

// ---- Ste_motor ----
void ste_exe(py::object self, py::object ste_duty) {
  zelk::check([&] { return zelk::ne(self.attr("ste_id"), py::int_(0)); }, "ID is no inputed");
  zelk::check([&] { return zelk::le(ste_duty, py::int_(100)); }, "duty should <=100 ");
  zelk::call_method(self, ZELK_ID("steer_exe"), ZELK_KW("id", "pwm"), self.attr("ste_id"),
                    ste_duty);
}

// ---- Ul_sensor ----
py::object ul_get(py::object self) {
  zelk::check([&] { return zelk::ne(self.attr("ul_id"), py::int_(0)); }, "ID is no inputed");
  return zelk::call_method(self, ZELK_ID("ul_getDistance"), ZELK_KW("sensorID"),
                           self.attr("ul_id"));
}

// ---- Line_track ----
void l_start(py::object self, py::object l_sp) {
  zelk::check([&] { return zelk::ne(l_sp, py::int_(0)); }, "SPEED is no inputed");
  zelk::call_method(self, ZELK_ID("line_track"), ZELK_KW("start", "speed"), py::int_(1), l_sp);
}

// A learner class on a device family, keeping its channel/device number in `attr`.
py::object numbered_class(py::module_& m, const char* name, const char* doc, zelk::Id family,
                          const char* function, const char* attr, const char* init_doc) {
  py::object cls = zelk::make_class(m, name, doc, py::make_tuple(zelk::global(family)));
  def(
      cls, "__init__", init_doc,
      [family, function, attr](py::object self, py::object number) {
        family_init(self, family, function);
        self.attr(attr) = number;
      },
      py::arg(attr));
  return cls;
}

py::object plain_class(py::module_& m, const char* name, const char* doc, zelk::Id family,
                       const char* function, const char* init_doc) {
  py::object cls = zelk::make_class(m, name, doc, py::make_tuple(zelk::global(family)));
  def(cls, "__init__", init_doc,
      [family, function](py::object self) { family_init(self, family, function); });
  return cls;
}

// ---- time_count ----
py::object now() {
  return zelk::call_method(zelk::global(ZELK_ID("time")), ZELK_ID("time"));
}

void time_count_init(py::object self) {
  for (const char* attr : {"start_time", "end_time", "total_time"}) self.attr(attr) = 0;
}

void end_count(py::object self) {
  self.attr("end_time") = now();
  self.attr("total_time") = zelk::sub(self.attr("end_time"), self.attr("start_time"));
}

}  // namespace

void add_robot_api(py::module_& m) {
  const auto sp = py::arg("car_sp") = 0;
  py::object car =
      plain_class(m, "Car", "The car: drive, strafe, turn and stop.", ZELK_ID("Chassis"),
                  "Spo_chassis", "Opens the port for the chassis (prints 初始化ID).");
  def(car, "car_go", "Drives forward at car_sp (the other speeds 0).", &chassis_s, sp);
  def(
      car, "car_back", "Drives backward at car_sp (the other speeds 0).",
      [](py::object s, py::object v) { chassis_s(s, neg(v)); }, sp);
  def(car, "car_across_l", "Moves sideways to the left at car_sp.", &chassis_l, sp);
  def(
      car, "car_across_r", "Moves sideways to the right at car_sp.",
      [](py::object s, py::object v) { chassis_l(s, neg(v)); }, sp);
  def(car, "car_turn_r", "Turns right at car_sp.", &chassis_h, sp);
  def(
      car, "car_turn_l", "Turns left at car_sp.",
      [](py::object s, py::object v) { chassis_h(s, neg(v)); }, sp);
  def(car, "car_stop", "Stops: all three chassis speeds 0.", [](py::object s) {
    zelk::call_method(s, ZELK_ID("Chassis_exe"), py::int_(0), py::int_(0), py::int_(0));
  });

  py::object use_io =
      numbered_class(m, "Use_io", "One IO channel: digital input, digital output, PWM.",
                     ZELK_ID("Io"), "Other", "io_com", "Opens the port for IO channel io_com.");
  def(use_io, "Io_read", "Reads input io_com (< 8); stores and returns 0, 1 or None in io_data.",
      &io_read);
  def(use_io, "Ios_read", "Reads all inputs; stores and returns the levels (or None) in ios_data.",
      &ios_read);
  def(use_io, "Io_write", "Sets output io_com (< 8) to io_level (1 on, 0 off).", &io_write,
      py::arg("io_level") = 0);
  def(use_io, "pwm_use", "Sets PWM channel io_com (< 4) to pwm_freq (not 0) and pwm_duty (<= 100).",
      &pwm_use, py::arg("pwm_freq") = 0, py::arg("pwm_duty") = 0);

  py::object cur = numbered_class(m, "Cur_motor", "A DC motor.", ZELK_ID("Motor"), "Cur_motor",
                                  "motor_id", "Opens the port for DC motor motor_id.");
  const auto speed = py::arg("cur_speed") = 0, pulse = py::arg("cur_pulse") = 0;
  def(
      cur, "Cur_go", "Runs the motor forward at cur_speed for cur_pulse counts.",
      [](py::object s, py::object v, py::object p) { cur_run(s, py::int_(1), v, p); }, speed,
      pulse);
  def(
      cur, "Cur_back", "Runs the motor backward at cur_speed for cur_pulse counts.",
      [](py::object s, py::object v, py::object p) { cur_run(s, py::int_(1), neg(v), p); }, speed,
      pulse);
  def(cur, "Cur_stop", "Stops the motor (mode 0, speed 0, pulse 0).",
      [](py::object s) { cur_run(s, py::int_(0), py::int_(0), py::int_(0)); });

  py::object ste = numbered_class(m, "Ste_motor", "A steering servo.", ZELK_ID("Motor"),
                                  "Ste_motor", "ste_id", "Opens the port for servo ste_id.");
  def(ste, "Ste_exe", "Sets the servo (ste_id not 0) to duty ste_duty (<= 100).", &ste_exe,
      py::arg("ste_duty") = 0);

  py::object ul =
      numbered_class(m, "Ul_sensor", "An ultrasonic distance sensor.", ZELK_ID("Sensor"),
                     "Ul_sensor", "ul_id", "Opens the port for sensor ul_id.");
  def(ul, "ul_get", "Returns the distance measured by sensor ul_id (not 0), or None.", &ul_get);

  py::object line =
      plain_class(m, "Line_track", "The board's own line tracking.", ZELK_ID("Conpound"),
                  "Line_track", "Opens the port for the line-tracking unit.");
  def(line, "l_start", "Starts line tracking at speed l_sp (not 0).", &l_start,
      py::arg("l_sp") = 0);
  def(line, "l_stop", "Stops line tracking.", [](py::object s) {
    zelk::call_method(s, ZELK_ID("line_track"), ZELK_KW("start", "speed"), py::int_(0),
                      py::int_(0));
  });

  py::object timer = zelk::make_class(m, "time_count", "A stopwatch in seconds.");
  def(timer, "__init__", "Sets start_time, end_time and total_time to 0.", &time_count_init);
  def(timer, "start_count", "Sets start_time to the current time.",
      [](py::object s) { s.attr("start_time") = now(); });
  def(timer, "end_count",
      "Sets end_time to the current time and total_time to the seconds since start_time.",
      &end_count);
}

}  // namespace drivox
