// Id and the device families: each operation fills argument slots of the six-element
// command list id_list = [type, function, arg1, arg2, arg3, arg4] and sends it as one frame.
#include "drivox.hpp"
#include "py_class.hpp"
#include "py_fast_calls.hpp"
#include "py_print.hpp"

namespace drivox {
namespace {

PyObject* id_class = nullptr;

py::object slots(py::handle self) {
  return self.attr("id_list");
}
void set_slot(py::handle self, int i, py::handle value) {
  slots(self)[py::int_(i)] = value;
}

// ---- Id ----
void id_init(py::object self, py::object id_list) {
  global("MySerial").attr("__init__")(self);
  self.attr("id_list") = id_list;
  self.attr("name") = id_list[py::int_(0)];
  self.attr("classes") = id_list[py::int_(1)];
  // The caller's own list grows to six elements: the four argument slots.
  for (int i = 0; i < 4; ++i) id_list.attr("append")(0);
  zelk::print("初始化ID");
}

py::object set_id(py::object self) {
  py::object l = slots(self);
  zelk::call_method(self, "sendCmd", l[py::int_(0)], l[py::int_(1)], l[py::int_(2)], l[py::int_(3)],
                    l[py::int_(4)], l[py::int_(5)]);
  zelk::print(slots(self));
  return zelk::call_method(self, "recieveAck");
}

// A reply byte, or None when there is no reply or it is too short to hold that byte.
py::object reply_byte(py::handle recv, int index) {
  if (recv.is_none() || py::len(recv) <= static_cast<size_t>(index)) return py::none();
  return recv[py::int_(index)];
}

// ---- family constructors: dic, type, func, then Id with [type, func] ----
void family_init(py::object self, const char* dict_name, py::object c_function, py::object c_type) {
  self.attr("dic") = global(dict_name);
  self.attr("type") = c_type;
  self.attr("func") = self.attr("dic")[c_function];
  py::handle(id_class).attr("__init__")(
      self, py::list(py::make_tuple(self.attr("type"), self.attr("func"))));
}

py::object make_family(py::module_& m, const char* name, const char* dict_name) {
  py::object cls = zelk::make_class(m, name, py::make_tuple(py::handle(id_class)));
  // The default type code is the one the table held when the class was made.
  py::object default_type = global("case_dict")[name];
  zelk::def_init(
      cls,
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
  zelk::call_method(self, "set_id");
  zelk::print(zelk::literal("1"));
}

// ---- Io ----
void io_init(py::object self, py::object c_function, py::object c_type) {
  family_init(self, "Io_dict", c_function, c_type);
  for (const char* attr :
       {"ouput_io", "pwm_freq", "pwm1_duty", "pwm2_duty", "pwm3_duty", "pwm4_duty"})
    self.attr(attr) = 0;
}

py::object read_ios(py::object self) {
  return reply_byte(self.attr("set_id")(), 4);
}

py::object read_io(py::object self, py::object bit) {
  py::object levels = self.attr("readIos")();
  if (levels.is_none()) return py::none();
  return binop(PyNumber_Remainder, binop(PyNumber_Rshift, levels, bit), py::int_(2));
}

void output(py::object self, py::object iocom, py::object level) {
  const py::int_ one(1);
  if (zelk::eq(level, one))
    self.attr("ouput_io") =
        binop(PyNumber_Or, self.attr("ouput_io"), binop(PyNumber_Lshift, one, iocom));
  if (zelk::eq(level, py::int_(0))) {
    py::object cleared = checked(PyNumber_Invert(binop(PyNumber_Lshift, one, iocom).ptr()));
    self.attr("ouput_io") = binop(PyNumber_And, self.attr("ouput_io"), cleared);
  }
  set_slot(self, 2, mul(self.attr("ouput_io"), py::int_(256)));
  self.attr("set_id")();
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
  self.attr("set_id")();
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
  self.attr("set_id")();
}

void steer_exe(py::object self, py::object id, py::object pwm) {
  set_slot(self, 2, add(mul(id, py::int_(256)), pwm));
  self.attr("set_id")();
}

// ---- Sensor ----
py::object ul_get_distance(py::object self, py::object sensor_id) {
  set_slot(self, 2, mul(sensor_id, py::int_(256)));
  py::object reply = self.attr("set_id")();
  py::object high = reply_byte(reply, 5), low = reply_byte(reply, 6);
  if (high.is_none() || low.is_none()) return py::none();
  return add(mul(high, py::int_(256)), low);
}

// ---- Conpound ----
void line_track(py::object self, py::object start, py::object speed) {
  set_slot(self, 2, add(mul(start, py::int_(256)), truediv(speed, py::int_(256))));
  set_slot(self, 3, mul(mod(speed, py::int_(256)), py::int_(256)));
  self.attr("set_id")();
}

}  // namespace

void add_device_commands(py::module_& m) {
  py::object id = zelk::make_class(m, "Id", py::make_tuple(global("MySerial")));
  id_class = zelk::keep_forever(id);
  zelk::def_init(id, &id_init, py::arg("id_list"));
  zelk::def_fast_method(id, "set_id", &set_id);

  py::object chassis = make_family(m, "Chassis", "Chassis_dict");
  zelk::def_fast_method(chassis, "Chassis_exe", &chassis_exe, py::arg("speed_s") = 0,
                        py::arg("speed_l") = 0, py::arg("speed_h") = 0);

  py::object io = zelk::make_class(m, "Io", py::make_tuple(id));
  zelk::def_init(io, &io_init, py::arg("c_function"),
                 py::arg("c_type") = global("case_dict")["Io"]);
  zelk::def_fast_method(io, "readIos", &read_ios);
  zelk::def_fast_method(io, "readIo", &read_io, py::arg("bit"));
  zelk::def_fast_method(io, "output", &output, py::arg("iocom"), py::arg("level"));
  zelk::def_fast_method(io, "pwmOutput", &pwm_output, py::arg("pwmcom") = 0, py::arg("freq") = 0,
                        py::arg("duty") = 0);

  py::object motor = make_family(m, "Motor", "Motor_dict");
  zelk::def_fast_method(motor, "cur_exe", &cur_exe, py::arg("id") = 1, py::arg("mode") = 0,
                        py::arg("speed") = 0, py::arg("pulse") = 0);
  zelk::def_fast_method(motor, "steer_exe", &steer_exe, py::arg("id") = 1, py::arg("pwm") = 0);

  py::object sensor = make_family(m, "Sensor", "Sensor_dict");
  zelk::def_fast_method(sensor, "ul_getDistance", &ul_get_distance, py::arg("sensorID"));

  py::object conpound = make_family(m, "Conpound", "Conpound_dict");
  zelk::def_fast_method(conpound, "line_track", &line_track, py::arg("start") = 0,
                        py::arg("speed") = 0);
}

}  // namespace drivox
