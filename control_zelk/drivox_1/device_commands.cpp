// Id and the device families: each operation fills argument slots of the six-element
// command list id_list = [type, function, arg1, arg2, arg3, arg4] and sends it as one frame.
#include "drivox.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"

namespace drivox {
namespace {

using zelk::add;
using zelk::binop;
using zelk::mod;
using zelk::mul;
using zelk::truediv;

py::object slots(py::handle self) {
  return self.attr("id_list");
}
void set_slot(py::handle self, int i, py::handle value) {
  slots(self)[py::int_(i)] = value;
}

// ---- Id ----
void id_init(py::object self, py::object id_list) {
  zelk::call_method(zelk::global(ZELK_ID("MySerial")), ZELK_ID("__init__"), self);
  self.attr("id_list") = id_list;
  self.attr("name") = id_list[py::int_(0)];
  self.attr("classes") = id_list[py::int_(1)];
  // The caller's own list grows to six elements: the four argument slots.
  for (int i = 0; i < 4; ++i) zelk::call_method(id_list, ZELK_ID("append"), py::int_(0));
  zelk::print("初始化ID");
}

py::object set_id(py::object self) {
  py::object l = slots(self);
  zelk::call_method(self, ZELK_ID("sendCmd"), l[py::int_(0)], l[py::int_(1)], l[py::int_(2)],
                    l[py::int_(3)], l[py::int_(4)], l[py::int_(5)]);
  zelk::print(slots(self));
  return zelk::call_method(self, ZELK_ID("recieveAck"));
}

// A reply byte, or None when there is no reply or it is too short to hold that byte.
py::object reply_byte(py::handle recv, int index) {
  if (recv.is_none() || py::len(recv) <= static_cast<size_t>(index)) return py::none();
  return recv[py::int_(index)];
}

// ---- family constructors: dic, type, func, then Id with [type, func] ----
void family_init(py::object self, zelk::Id dict_name, py::object c_function, py::object c_type) {
  self.attr("dic") = zelk::global(dict_name);
  self.attr("type") = c_type;
  self.attr("func") = self.attr("dic")[c_function];
  zelk::call_method(zelk::global(ZELK_ID("Id")), ZELK_ID("__init__"), self,
                    py::list(py::make_tuple(self.attr("type"), self.attr("func"))));
}

constexpr const char* kFamilyInitDoc =
    "Sets dic (the family's function table), type = c_type and func = dic[c_function], then "
    "runs Id.__init__ with [type, func] (opens the port).";

// A device family on Id. Its default type code is the one case_dict held for the family when
// the class was made.
py::object make_family(py::module_& m, const char* name, const char* doc, zelk::Id dict_name) {
  py::object cls = zelk::make_class(m, name, doc, py::make_tuple(zelk::global(ZELK_ID("Id"))));
  py::object default_type = zelk::global(ZELK_ID("case_dict"))[name];
  zelk::def(
      cls, "__init__", kFamilyInitDoc,
      [dict_name](py::object self, py::object c_function, py::object c_type) {
        family_init(self, dict_name, c_function, c_type);
      },
      py::arg("c_function"), py::arg("c_type") = default_type);
  return cls;
}

// ---- Chassis ----
void chassis_exe(py::object self, py::object speed_s, py::object speed_l, py::object speed_h) {
  set_slot(self, 2, speed_s);
  set_slot(self, 3, speed_l);
  set_slot(self, 4, speed_h);
  zelk::call_method(self, ZELK_ID("set_id"));
  zelk::print(ZELK_ID("1"));
}

// ---- Io ----
void io_init(py::object self, py::object c_function, py::object c_type) {
  family_init(self, ZELK_ID("Io_dict"), c_function, c_type);
  for (const char* attr :
       {"ouput_io", "pwm_freq", "pwm1_duty", "pwm2_duty", "pwm3_duty", "pwm4_duty"})
    self.attr(attr) = 0;
}

py::object read_ios(py::object self) {
  return reply_byte(zelk::call_method(self, ZELK_ID("set_id")), 4);
}

py::object read_io(py::object self, py::object bit) {
  py::object levels = zelk::call_method(self, ZELK_ID("readIos"));
  if (levels.is_none()) return py::none();
  return binop(PyNumber_Remainder, binop(PyNumber_Rshift, levels, bit), py::int_(2));
}

void output(py::object self, py::object iocom, py::object level) {
  const py::int_ one(1);
  if (zelk::eq(level, one))
    self.attr("ouput_io") =
        binop(PyNumber_Or, self.attr("ouput_io"), binop(PyNumber_Lshift, one, iocom));
  if (zelk::eq(level, py::int_(0))) {
    py::object cleared =
        zelk::steal_or_throw(PyNumber_Invert(binop(PyNumber_Lshift, one, iocom).ptr()));
    self.attr("ouput_io") = binop(PyNumber_And, self.attr("ouput_io"), cleared);
  }
  set_slot(self, 2, mul(self.attr("ouput_io"), py::int_(256)));
  zelk::call_method(self, ZELK_ID("set_id"));
}

void pwm_output(py::object self, py::object pwmcom, py::object freq, py::object duty) {
  self.attr("pwm_freq") = freq;
  // Channels 0 and 2 travel in the high byte of their argument, 1 and 3 in the low byte.
  const py::int_ high(256);
  if (zelk::eq(pwmcom, py::int_(0))) self.attr("pwm1_duty") = mul(duty, high);
  if (zelk::eq(pwmcom, py::int_(1))) self.attr("pwm2_duty") = duty;
  if (zelk::eq(pwmcom, py::int_(2))) self.attr("pwm3_duty") = mul(duty, high);
  if (zelk::eq(pwmcom, py::int_(3))) self.attr("pwm4_duty") = duty;
  set_slot(self, 2, self.attr("pwm_freq"));
  set_slot(self, 3, add(self.attr("pwm1_duty"), self.attr("pwm2_duty")));
  set_slot(self, 4, add(self.attr("pwm3_duty"), self.attr("pwm4_duty")));
  zelk::call_method(self, ZELK_ID("set_id"));
}

// ---- Motor ----
void cur_exe(py::object self, py::object id, py::object mode, py::object speed, py::object pulse) {
  speed = mul(speed, py::int_(60));
  set_slot(self, 2, add(mul(id, py::int_(256)), mode));
  set_slot(self, 3, speed);
  // The 32-bit pulse count travels as two 16-bit halves (the high half is a true quotient:
  // its fraction is dropped when the bytes are made).
  set_slot(self, 4, truediv(pulse, py::int_(65536)));
  set_slot(self, 5, mod(pulse, py::int_(65536)));
  zelk::call_method(self, ZELK_ID("set_id"));
}

void steer_exe(py::object self, py::object id, py::object pwm) {
  set_slot(self, 2, add(mul(id, py::int_(256)), pwm));
  zelk::call_method(self, ZELK_ID("set_id"));
}

// ---- Sensor ----
py::object ul_get_distance(py::object self, py::object sensor_id) {
  set_slot(self, 2, mul(sensor_id, py::int_(256)));
  py::object reply = zelk::call_method(self, ZELK_ID("set_id"));
  py::object high = reply_byte(reply, 5), low = reply_byte(reply, 6);
  if (high.is_none() || low.is_none()) return py::none();
  return add(mul(high, py::int_(256)), low);
}

// ---- Conpound ----
void line_track(py::object self, py::object start, py::object speed) {
  set_slot(self, 2, add(mul(start, py::int_(256)), truediv(speed, py::int_(256))));
  set_slot(self, 3, mul(mod(speed, py::int_(256)), py::int_(256)));
  zelk::call_method(self, ZELK_ID("set_id"));
}

}  // namespace

void add_device_commands(py::module_& m) {
  py::object id = zelk::make_class(
      m, "Id", "A device: its command list id_list = [type, function, arg1..arg4] and the port.",
      py::make_tuple(zelk::global(ZELK_ID("MySerial"))));
  zelk::def(id, "__init__",
            "Opens the port (MySerial's defaults), keeps id_list (the caller's list, extended by "
            "four zeros), name = id_list[0], classes = id_list[1]; prints 初始化ID.",
            &id_init, py::arg("id_list"));
  zelk::def(id, "set_id",
            "Sends id_list as one frame, prints it, and returns the board's reply (bytes) or "
            "None.",
            &set_id);

  py::object chassis =
      make_family(m, "Chassis", "The car's chassis (type code 1).", ZELK_ID("Chassis_dict"));
  zelk::def(chassis, "Chassis_exe",
            "Sends the three chassis speeds (forward, sideways, turning; negative reverses) and "
            "prints 1.",
            &chassis_exe, py::arg("speed_s") = 0, py::arg("speed_l") = 0, py::arg("speed_h") = 0);

  py::object io = zelk::make_class(m, "Io", "Digital inputs and outputs and PWM (type code 2).",
                                   py::make_tuple(id));
  zelk::def(io, "__init__",
            "As the other families, then sets ouput_io, pwm_freq and pwm1_duty..pwm4_duty to 0.",
            &io_init, py::arg("c_function"),
            py::arg("c_type") = zelk::global(ZELK_ID("case_dict"))["Io"]);
  zelk::def(io, "readIos", "Returns the input levels (reply byte 4, bit n = input n) or None.",
            &read_ios);
  zelk::def(io, "readIo", "Returns the level (0 or 1) of input bit, or None.", &read_io,
            py::arg("bit"));
  zelk::def(io, "output",
            "Sets (level 1) or clears (level 0) output iocom in ouput_io and sends the mask.",
            &output, py::arg("iocom"), py::arg("level"));
  zelk::def(io, "pwmOutput",
            "Sets pwm_freq and the duty of channel pwmcom (0..3), then sends the frequency and "
            "all four duties.",
            &pwm_output, py::arg("pwmcom") = 0, py::arg("freq") = 0, py::arg("duty") = 0);

  py::object motor =
      make_family(m, "Motor", "DC motor and steering servo (type code 3).", ZELK_ID("Motor_dict"));
  zelk::def(motor, "cur_exe",
            "Runs DC motor id in mode with speed (sent as speed x 60) for pulse counts.", &cur_exe,
            py::arg("id") = 1, py::arg("mode") = 0, py::arg("speed") = 0, py::arg("pulse") = 0);
  zelk::def(motor, "steer_exe", "Sets the duty pwm of steering servo id.", &steer_exe,
            py::arg("id") = 1, py::arg("pwm") = 0);

  py::object sensor =
      make_family(m, "Sensor", "The ultrasonic sensor (type code 4).", ZELK_ID("Sensor_dict"));
  zelk::def(sensor, "ul_getDistance",
            "Returns the distance sensor sensorID measures (reply bytes 5 and 6), or None.",
            &ul_get_distance, py::arg("sensorID"));

  py::object conpound =
      make_family(m, "Conpound", "The line-tracking unit (type code 5).", ZELK_ID("Conpound_dict"));
  zelk::def(conpound, "line_track",
            "Starts (start 1) or stops (start 0) the board's own line tracking at speed.",
            &line_track, py::arg("start") = 0, py::arg("speed") = 0);
}

}  // namespace drivox
