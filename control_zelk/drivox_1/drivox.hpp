// Internal interface of the hardware module: each source file adds its classes to the
// module in the order the module defines them.
#pragma once

#include <pybind11/pybind11.h>

namespace drivox {
namespace py = pybind11;

void add_serial_link(py::module_& m);      // MySerial
void add_device_commands(py::module_& m);  // Id and the device families
void add_robot_api(py::module_& m);        // learner-level classes and time_count
void add_demo(py::module_& m);             // main(num)

}  // namespace drivox
