// QR codes (and the other symbols zbar finds) decoded and marked in a grey image, shared by
// optik.erweima_recognize and optik1.Img.
#pragma once

#include <pybind11/pybind11.h>

#include "py_names.hpp"

namespace zelk::qr {
namespace py = pybind11;

// For each symbol in `image`, in zbar's order: a rectangle (intensity 0, thickness 5) around
// it and a circle (255, thickness 5) inside it, drawn into `image`, then its payload decoded
// as strict UTF-8 into self.<result> (a payload that is not UTF-8 raises UnicodeDecodeError,
// after its marks). Images other than 8-bit grey are handed to the module's pyzbar.decode.
void decode_display(py::handle self, py::handle image, Id result);

// The grey version of `frame` handed to self.decodeDisplay, then shown in the window
// "erweima" with a 1 ms key wait.
void read_codes(py::handle self, py::handle frame);

}  // namespace zelk::qr
