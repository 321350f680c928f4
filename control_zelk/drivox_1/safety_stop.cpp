#include "safety_stop.hpp"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

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
PyObject* sigterm_handler = nullptr;  // made and installed at import
bool stopped_for_good = false;        // the stop frames have gone out: the program is ending

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

// The stop frames for one port.
struct Stop {
  py::object ser;
  std::vector<py::bytes> frames;
};

// Sends the stop frames of everything left running. Nothing is printed, and no error leaves
// it: the program has ended, and a dead board must not hang or spoil the exit. What is to be
// stopped is taken while the GIL is held: the serial writes let other threads (daemon threads
// still driving at exit) run, and those change the record.
void stop_everything() {
  stopped_for_good = true;
  std::vector<Stop> stops;
  for (auto& [device, r] : running) {
    if (!r.any() || r.ser == nullptr) continue;
    Stop stop{py::reinterpret_borrow<py::object>(r.ser), {}};
    if (r.chassis) stop.frames.push_back(frame(1, 1, 0));
    for (int id : r.motors) stop.frames.push_back(frame(3, 1, id << 8));
    if (r.line_tracking) stop.frames.push_back(frame(5, 1, 0));
    r.chassis = r.line_tracking = false;
    r.motors.clear();
    stops.push_back(std::move(stop));
  }
  for (const Stop& stop : stops) {
    try {
      py::handle ser = stop.ser;
      if (!zelk::truthy(zelk::call_method(ser, ZELK_ID("isOpen"))))
        zelk::call_method(ser, ZELK_ID("open"));
      ser.attr("timeout") = kExitTimeout;
      ser.attr("write_timeout") = kExitTimeout;
      for (const py::bytes& f : stop.frames) send_quietly(ser, f);
    } catch (py::error_already_set&) {
    }
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

// Installs the SIGTERM handler unless the program has chosen one of its own. Only the main
// thread may set a signal handler.
void install_sigterm_handler() {
  try {
    py::module_ signal = py::module_::import("signal");
    if (!signal.attr("getsignal")(signal.attr("SIGTERM")).is(signal.attr("SIG_DFL"))) return;
    signal.attr("signal")(signal.attr("SIGTERM"), py::handle(sigterm_handler));
  } catch (py::error_already_set&) {
    PyErr_Clear();  // a program that cannot have the handler still gets the exit handler
  }
}

int install_sigterm_handler_pending(void*) {
  install_sigterm_handler();
  return 0;
}

// Called at import. The handler is there before the first motion, whichever thread drives:
// a handler installed by the first motion could not be set from a worker thread, and a main
// thread waiting in join() or sleep() runs nothing it is asked to until it wakes. Imported on
// another thread, the module asks the main thread to install it when it next runs Python code.
void watch_sigterm() {
  try {
    py::module_ threading = py::module_::import("threading");
    if (threading.attr("current_thread")().is(threading.attr("main_thread")()))
      install_sigterm_handler();
    else if (Py_AddPendingCall(install_sigterm_handler_pending, nullptr) != 0)
      PyErr_Clear();
  } catch (py::error_already_set&) {
    PyErr_Clear();
  }
}

// The record's key for a port: its device path, whatever characters it holds.
std::string device_key(py::handle self) {
  const py::str device(py::getattr(self, "device", py::none()));
  py::object utf8 =
      zelk::steal_or_throw(PyUnicode_AsEncodedString(device.ptr(), "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(utf8.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.ptr())));
}

}  // namespace

bool stopped_for_good_at_exit() {
  if (!stopped_for_good) return false;
  if (!zelk::on_main_thread()) zelk::wait_for_process_end();
  return true;
}

void note_frame(py::handle self, const unsigned char* f) {
  const int type = f[2], function = f[3];
  if (function != 1 || (type != 1 && type != 3 && type != 5)) return;
  Running& r = running[device_key(self)];
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
  watch_sigterm();
}

}  // namespace drivox
