// Objects parsed from files (cascade classifiers, networks), kept so that an unchanged file
// is parsed once per thread rather than on every call.
//
// The cache is keyed by what the file is: its path and its size, modification time and inode
// as os.stat reports them, so a file that was replaced or rewritten is read again. Each
// thread has its own cache, since OpenCV's classifiers and networks keep per-run buffers and
// must not be used by two threads at once. A file that cannot be stat'ed is not cached: the
// loader runs every time and reports the problem its own way.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "py_names.hpp"

namespace zelk {
namespace py = pybind11;

// The object `load()` made for the file `path` (a str) of this kind, made now if the file
// changed or was never loaded by this thread.
py::object load_cached(Id kind, py::handle path, const std::function<py::object()>& load);

}  // namespace zelk
