// A car never keeps driving after the program that drove it has ended: the module notes which
// chassis, DC motors and line tracking were left running on each port, and when the
// interpreter exits (normal end, uncaught exception, Ctrl-C, or SIGTERM while nobody else
// handles it) it sends their stop frames, silently and with short time-outs.
#pragma once

#include <pybind11/pybind11.h>

namespace drivox {
namespace py = pybind11;

// Registers the exit handler and, unless the program has its own, the SIGTERM handler (once,
// at import).
void install_safety_stop(py::module_& m);

// Called before a command is sent or its reply read. Once the exit's stop frames have gone out
// nothing more is sent, so that the car stays stopped: a thread still running then (a daemon
// thread, as the interpreter ends) waits for the process to end, holding nothing; the main
// thread is told to skip the exchange (true).
bool stopped_for_good_at_exit();

// Called with every 14-byte command frame `self` has written to its port.
void note_frame(py::handle self, const unsigned char* frame);

}  // namespace drivox
