#include "safety_stop.hpp"

#include <map>
#include <set>
#include <string>

#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace drivox {
namespace {

// What is left running on one device path, and the port object that last drove it.
struct Running {
  PyObject* ser = nullptr;  // strong reference
  bool chassis = false;
  std::set<int> motors;
  bool line_tracking = false;
  bool any() const { return chassis || line_tracking || !motors.empty(); }
};

std::map<std::string, Running> running;
PyObject* sigterm_handler = nullptr;  // made at import, installed on the first motion
bool sigterm_watched = false;

constexpr double kExitTimeout = 0.2;  // seconds per write and per reply at exit

int arg(const unsigned char* f, int i) {
  return f[4 + 2 * i] << 8 | f[5 + 2 * i];
}

py::bytes frame(int type, int function, int arg1) {
  unsigned char f[14] = {0x55,
                         0x0E,
                         static_cast<unsigned char>(type),
                         static_cast<unsigned char>(function),
                         static_cast<unsigned char>(arg1 >> 8),
                         static_cast<unsigned char>(arg1 & 255)};
  int sum = 0;
  for (int i = 0; i < 13; ++i) sum += f[i];
  f[13] = static_cast<unsigned char>(sum & 255);
  return py::bytes(reinterpret_cast<const char*>(f), sizeof f);
}

// Writes one stop frame and waits briefly for the board's reply, so that the board has taken
// it before the next one.
void send_quietly(py::handle ser, const py::bytes& stop) {
  zelk::call_method(ser, ZELK_ID("write"), stop);
  zelk::call_method(ser, ZELK_ID("read"), py::int_(14));
}

// Sends the stop frames of everything left running. Nothing is printed, and no error leaves
// it: the program has ended, and a dead board must not hang or spoil the exit.
void stop_everything() {
  for (auto& [device, r] : running) {
    if (!r.any() || r.ser == nullptr) continue;
    try {
      py::handle ser(r.ser);
      if (!zelk::truthy(zelk::call_method(ser, ZELK_ID("isOpen"))))
        zelk::call_method(ser, ZELK_ID("open"));
      ser.attr("timeout") = kExitTimeout;
      ser.attr("write_timeout") = kExitTimeout;
      if (r.chassis) send_quietly(ser, frame(1, 1, 0));
      for (int id : r.motors) send_quietly(ser, frame(3, 1, id << 8));
      if (r.line_tracking) send_quietly(ser, frame(5, 1, 0));
    } catch (py::error_already_set&) {
    }
    r.chassis = r.line_tracking = false;
    r.motors.clear();
  }
  PyErr_Clear();
}

// SIGTERM ends a Python program without running exit handlers; while the program has not
// chosen its own handler, stop the car first and then end as SIGTERM would have.
void on_sigterm(py::handle signum, py::handle) {
  stop_everything();
  py::module_ signal = py::module_::import("signal");
  signal.attr("signal")(signum, signal.attr("SIG_DFL"));
  py::module_::import("os").attr("kill")(py::module_::import("os").attr("getpid")(), signum);
}

void watch_sigterm() {
  if (sigterm_watched) return;
  sigterm_watched = true;
  try {
    py::module_ threading = py::module_::import("threading");
    if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
    py::module_ signal = py::module_::import("signal");
    if (!signal.attr("getsignal")(signal.attr("SIGTERM")).is(signal.attr("SIG_DFL"))) return;
    signal.attr("signal")(signal.attr("SIGTERM"), py::handle(sigterm_handler));
  } catch (py::error_already_set&) {
    PyErr_Clear();  // a program that cannot have the handler still gets the exit handler
  }
}

}  // namespace

void note_frame(py::handle self, const unsigned char* f) {
  const int type = f[2], function = f[3];
  if (function != 1 || (type != 1 && type != 3 && type != 5)) return;
  Running& r = running[py::str(py::getattr(self, "device", py::none())).cast<std::string>()];
  py::object ser = self.attr("ser");
  if (r.ser != ser.ptr()) {
    Py_XDECREF(r.ser);
    r.ser = ser.release().ptr();
  }
  if (type == 1) r.chassis = arg(f, 0) != 0 || arg(f, 1) != 0 || arg(f, 2) != 0;
  if (type == 3) {
    const int id = f[4];
    if (arg(f, 1) != 0)
      r.motors.insert(id);
    else
      r.motors.erase(id);
  }
  if (type == 5) r.line_tracking = f[4] != 0;
  if (r.any()) watch_sigterm();
}

void install_safety_stop(py::module_& m) {
  py::object handler =
      zelk::function(m, "_stop_on_exit",
                     "Sends the stop frames of the chassis, DC motors and line tracking left "
                     "running.",
                     [] { stop_everything(); });
  py::module_::import("atexit").attr("register")(handler);
  sigterm_handler =
      zelk::function(m, "_stop_on_sigterm", "Stops the car, then ends the program as SIGTERM does.",
                     &on_sigterm, py::arg("signum"), py::arg("frame"))
          .release()
          .ptr();
}

}  // namespace drivox
