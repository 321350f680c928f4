// The vision module optik: each unit adds its part of the module's namespace.
#pragma once

#include <pybind11/pybind11.h>

namespace optik {
namespace py = pybind11;

// read_cam and the Camera class, the base of the detector classes.
void def_camera(py::module_& m);
void def_face_detect(py::module_& m);
void def_color_detect(py::module_& m);
void def_erweima_recognize(py::module_& m);
void def_model_recognize(py::module_& m);
void def_take_photos(py::module_& m);
void def_distortion(py::module_& m);

}  // namespace optik
