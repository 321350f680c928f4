// The vision module optik: each unit adds its part of the module's namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace optik {
namespace py = pybind11;

// read_cam and the Camera class, the base of the detector classes.
void def_camera(py::module_& m);
void def_color_detect(py::module_& m);
void def_take_photos(py::module_& m);
void def_distortion(py::module_& m);

// read_cam(cam): the fifth (flag, frame) read from `cam` when its flag is true, else None.
py::object read_cam(py::handle cam);

// `a, b = obj` with Python's errors for non-iterables and wrong lengths.
std::pair<py::object, py::object> unpack_pair(py::handle obj);

}  // namespace optik
