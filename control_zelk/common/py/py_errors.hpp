// C++ exceptions leaving a function called from Python become Python exceptions: a Python
// error already set passes as it is, pybind11's own exception types raise their Python
// counterparts, the standard exceptions map as pybind11 maps them (std::out_of_range ->
// IndexError, std::invalid_argument -> ValueError, ...), and a module can add translators of
// its own (the vision modules: cv::Exception -> cv2.error). Only pybind11's public interface
// is used, so the translation does not depend on the internals of one pybind11 release.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace zelk {

// Sets the Python error for `e` and returns true, or returns false for an exception it does
// not know.
using ExceptionTranslator = bool (*)(std::exception_ptr e);

// Adds a translator of this module's; the last added is tried first.
void add_exception_translator(ExceptionTranslator translate);

// Sets the Python error for the exception being handled; call inside a catch block.
void set_python_error();

}  // namespace zelk
