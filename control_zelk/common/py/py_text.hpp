// Text handed from Python to C++ libraries. OpenCV's own Python binding crashes on a str it
// cannot encode (a lone surrogate such as "\ud800"), so every learner's text is encoded
// strictly before it goes anywhere near OpenCV: such a str raises UnicodeEncodeError.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zelk {
namespace py = pybind11;

// The UTF-8 bytes of a str; UnicodeEncodeError when it cannot be encoded.
std::string utf8(py::handle str);

// Raises UnicodeEncodeError when `obj` is a str that cannot be encoded; anything else passes
// (cv2 itself decides what it accepts).
void check_encodable(py::handle obj);

}  // namespace zelk
