// MySerial: the serial connection to the controller board and its 14-byte frames.
//
// Frame: 0x55, 0x0E, type, function, four 16-bit big-endian arguments, 0x00, checksum
// (sum of the bytes before it, mod 256). Plain int arguments are framed in C; anything else
// goes through the same arithmetic on the caller's Python objects, so fractional, negative
// and out-of-range arguments behave exactly as the equivalent Python expressions
// (truncation, OverflowError from %c, TypeError, ...). The frame always goes through
// MySerial's own writeMsg, not a subclass override.
#include <array>

#include "drivox.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"
#include "safety_stop.hpp"

namespace drivox {
namespace {

using zelk::add;
using zelk::mod;
using zelk::truediv;

constexpr const char* kDefaultDevice = "/dev/ttyAMA0";
constexpr int kDefaultBaud = 115200;
constexpr int kReadTimeoutSeconds = 5;

// int(x / 256) and int(x % 256): the high and low byte of an argument.
py::object high_byte(py::handle x) {
  return py::int_(truediv(x, py::int_(256)));
}
py::object low_byte(py::handle x) {
  return py::int_(mod(x, py::int_(256)));
}

void init(py::object self, py::object device, py::object baud) {
  self.attr("device") = device;
  self.attr("baud") = baud;
  try {
    self.attr("ser") =
        zelk::call_method(zelk::global(ZELK_ID("serial")), ZELK_ID("Serial"), ZELK_KW("timeout"),
                          self.attr("device"), self.attr("baud"), py::int_(kReadTimeoutSeconds));
  } catch (py::error_already_set& e) {
    // The serial library's own error, with a hint for whoever has no car at hand.
    if (e.matches(PyExc_Exception))
      zelk::add_note(e.value(),
                     "No controller board could be opened at this port. Without the car, run "
                     "the program on the board simulator: zelk-run-on-sim PROGRAM.py (see "
                     "docs/simulator.md).");
    throw;
  }
}

void del(py::object self) {
  // A constructor that failed to open the port leaves no `ser`: nothing to close then.
  if (!py::hasattr(self, "ser")) return;
  py::object ser = self.attr("ser");
  if (!ser.is_none()) zelk::call_method(ser, ZELK_ID("close"));
}

void serial_open(py::object self) {
  py::object ser = self.attr("ser");
  if (!zelk::truthy(zelk::call_method(ser, ZELK_ID("isOpen"))))
    zelk::call_method(ser, ZELK_ID("open"));
}

void write_msg(py::object self, py::object sendmsg) {
  zelk::call_method(self.attr("ser"), ZELK_ID("write"), sendmsg);
}

py::object recv_msg(py::object self, py::object count) {
  py::object ser = self.attr("ser");
  py::object recv = zelk::call_method(ser, ZELK_ID("read"), count);
  // Whatever else arrived belongs to no command of ours: drop it.
  zelk::call_method(ser, ZELK_ID("flushInput"));
  return recv;
}

// Python's a % 256 (never negative).
long long mod256(long long a) {
  return (a % 256 + 256) % 256;
}

int correct_msg(py::object /*self*/, py::object msg) {
  if (msg.is_none()) return 0;
  // A non-empty bytes reply, the usual case, is checked on its bytes directly.
  if (PyBytes_CheckExact(msg.ptr()) && PyBytes_GET_SIZE(msg.ptr()) > 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(msg.ptr()));
    const py::ssize_t n = PyBytes_GET_SIZE(msg.ptr());
    if (p[0] != 85) return 0;
    long long sum = 0;
    for (py::ssize_t i = 0; i < n - 1; ++i) sum += p[i];
    if (p[n - 1] != mod256(sum)) return 0;
    zelk::print(ZELK_ID("数据校验正确！"));
    return 1;
  }
  if (zelk::ne(msg[py::int_(0)], py::int_(85))) return 0;
  const py::ssize_t length = py::len(msg);
  py::object checksum = py::int_(0);
  for (py::ssize_t i = 0; i < length - 1; ++i) checksum = add(checksum, msg[py::int_(i)]);
  checksum = mod(checksum, py::int_(256));
  if (zelk::ne(msg[py::int_(length - 1)], checksum)) return 0;
  zelk::print("数据校验正确！");
  return 1;
}

// The frame for plain int arguments, computed in C. Returns an empty object when an argument
// is not an exact int of moderate size or a byte would fall outside 0..255: the Python-object
// path then makes the frame, or raises what Python would.
py::object frame_from_ints(const std::array<PyObject*, 6>& values) {
  constexpr long long kLimit = 1LL << 40;  // far inside the doubles' exact range
  std::array<long long, 6> v{};
  for (size_t i = 0; i < values.size(); ++i) {
    if (!PyLong_CheckExact(values[i])) return py::object();
    int overflow = 0;
    v[i] = PyLong_AsLongLongAndOverflow(values[i], &overflow);
    if (overflow != 0 || v[i] > kLimit || v[i] < -kLimit) return py::object();
  }
  unsigned char frame[14] = {85, 14, static_cast<unsigned char>(mod256(v[0])),
                             static_cast<unsigned char>(mod256(v[1]))};
  long long sum = 85 + 14 + v[0] + v[1];
  for (int k = 0; k < 4; ++k) {
    const long long a = v[2 + k] < 0 ? 65535 + v[2 + k] : v[2 + k];
    const long long high = a / 256;  // int(a / 256): exact division, truncated toward zero
    if (high < 0 || high > 255) return py::object();
    frame[4 + 2 * k] = static_cast<unsigned char>(high);
    frame[5 + 2 * k] = static_cast<unsigned char>(mod256(a));
    sum += high + mod256(a);
  }
  frame[13] = static_cast<unsigned char>(mod256(sum));
  return py::bytes(reinterpret_cast<const char*>(frame), sizeof frame);
}

void send_cmd(py::object self, py::object cmd_type, py::object cmd_id, py::object arg1,
              py::object arg2, py::object arg3, py::object arg4) {
  if (stopped_for_good_at_exit()) return;
  py::object fast = frame_from_ints(
      {cmd_type.ptr(), cmd_id.ptr(), arg1.ptr(), arg2.ptr(), arg3.ptr(), arg4.ptr()});
  if (fast) {
    zelk::call_method(zelk::global(ZELK_ID("MySerial")), ZELK_ID("writeMsg"), self, fast);
    note_frame(self, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(fast.ptr())));
    return;
  }
  std::array<py::object, 4> args{arg1, arg2, arg3, arg4};
  const py::int_ zero(0), offset(65535);
  // Negative arguments go out as 65535 + v (the board's convention: -1 is 0xFFFE).
  for (auto& a : args)
    if (zelk::lt(a, zero)) a = add(offset, a);

  std::array<py::object, 8> bytes;
  for (size_t i = 0; i < args.size(); ++i) {
    bytes[2 * i] = high_byte(args[i]);
    bytes[2 * i + 1] = low_byte(args[i]);
  }
  // The checksum adds the unreduced type and id; only the total is reduced.
  py::object checksum = add(add(py::int_(85 + 14), cmd_type), cmd_id);
  for (const auto& b : bytes) checksum = add(checksum, b);

  const py::int_ m256(256);
  py::tuple fields =
      py::make_tuple(85, 14, mod(cmd_type, m256), mod(cmd_id, m256), bytes[0], bytes[1], bytes[2],
                     bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], 0, mod(checksum, m256));
  // bytes % formatting raises OverflowError for a value outside 0..255, before any write.
  static PyObject* const tmpl = py::bytes("%c%c%c%c%c%c%c%c%c%c%c%c%c%c").release().ptr();
  py::object framedata = mod(tmpl, fields);
  zelk::call_method(zelk::global(ZELK_ID("MySerial")), ZELK_ID("writeMsg"), self, framedata);
  note_frame(self, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(framedata.ptr())));
}

py::object recieve_ack(py::object self) {
  // Once the program has ended and the car is stopped, nothing is sent: no reply to wait for.
  if (stopped_for_good_at_exit()) return py::none();
  py::object error;
  try {
    py::object recv = zelk::call_method(self, ZELK_ID("recvMsg"));
    if (zelk::truthy(zelk::call_method(self, ZELK_ID("correctMsg"), recv))) return recv;
    zelk::print("异常：收到数据有误");
    return py::none();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    error = e.value();
  }
  // Printed once the exception is handled: Python code run inside a catch block could not be
  // left cleanly by a thread the interpreter's end cancels.
  zelk::print("没有收到底层ack应答", error);
  return py::none();
}

}  // namespace

void add_serial_link(py::module_& m) {
  py::object cls = zelk::make_class(
      m, "MySerial", "One serial connection to the controller board and its 14-byte frames.");
  zelk::def(cls, "__init__",
            "Stores device and baud, then opens the port: ser = serial.Serial(device, baud, "
            "timeout=5).",
            &init, py::arg("device") = kDefaultDevice, py::arg("baud") = kDefaultBaud);
  zelk::def(cls, "__del__", "Closes the port when ser is set and not None.", &del);
  zelk::def(cls, "serialOpen", "Opens the port again if it is closed.", &serial_open);
  zelk::def(cls, "writeMsg", "Writes the bytes sendmsg to the port.", &write_msg,
            py::arg("sendmsg"));
  zelk::def(cls, "recvMsg",
            "Reads up to count bytes (5 s time-out), discards whatever else is waiting, and "
            "returns the bytes read.",
            &recv_msg, py::arg("count") = 14);
  zelk::def(cls, "correctMsg",
            "Returns 1 when msg starts with 0x55 and ends with the sum of the bytes before it "
            "(mod 256), printing a confirmation; else 0.",
            &correct_msg, py::arg("msg"));
  zelk::def(cls, "sendCmd",
            "Writes one 14-byte command frame: 0x55, 0x0E, type, id, four 16-bit big-endian "
            "arguments (negative v sent as 65535 + v), 0, checksum.",
            &send_cmd, py::arg("cmd_type") = 0, py::arg("cmd_id") = 0, py::arg("arg1") = 0,
            py::arg("arg2") = 0, py::arg("arg3") = 0, py::arg("arg4") = 0);
  zelk::def(cls, "recieveAck",
            "Reads and checks the board's 14-byte reply; returns it as bytes, or None (after "
            "printing why) when it is missing or wrong.",
            &recieve_ack);
}

}  // namespace drivox
