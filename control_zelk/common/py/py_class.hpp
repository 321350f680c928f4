// Ordinary Python classes made from C++: heap types made by `type(name, bases, namespace)`,
// so instances keep their attributes in __dict__, isinstance/issubclass work as usual and a
// learner can subclass them in Python. Their methods come from zelk::def (py_function.hpp).
#pragma once

#include <pybind11/pybind11.h>

namespace zelk {
namespace py = pybind11;

// Creates class `name` in module `m` (sets __module__, __qualname__ and __doc__) and binds
// it there.
py::object make_class(py::module_& m, const char* name, const char* doc,
                      py::tuple bases = py::tuple());

}  // namespace zelk
