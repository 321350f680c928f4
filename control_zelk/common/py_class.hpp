// Building ordinary Python classes whose methods are C++ functions.
//
// The classes learners see are plain heap types made by `type(name, bases, namespace)`:
// instances keep their attributes in __dict__, isinstance/issubclass work as usual and a
// learner can subclass them in Python. Methods receive `self` as a py::object.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace zelk {
namespace py = pybind11;

// Creates class `name` in module `m` (sets __module__ and __qualname__) and binds it there.
py::object make_class(py::module_& m, const char* name, py::tuple bases = py::tuple(),
                      const char* doc = nullptr);

// Attaches `f` (first parameter: py::object self) to `cls` as the method `name`.
template <typename Func, typename... Extra>
void def_method(py::handle cls, const char* name, Func&& f, const Extra&... extra) {
  cls.attr(name) =
      py::cpp_function(std::forward<Func>(f), py::name(name), py::is_method(cls), extra...);
}

// Attaches `f` as __init__. pybind11 treats any function *named* __init__ as the constructor
// of one of its own types, so the C++ function carries another name.
template <typename Func, typename... Extra>
void def_init(py::handle cls, Func&& f, const Extra&... extra) {
  cls.attr("__init__") =
      py::cpp_function(std::forward<Func>(f), py::name("__init"), py::is_method(cls), extra...);
}

// Attaches a module-level function.
template <typename Func, typename... Extra>
void def_function(py::module_& m, const char* name, Func&& f, const Extra&... extra) {
  m.attr(name) = py::cpp_function(std::forward<Func>(f), py::name(name), py::scope(m), extra...);
}

// Holds a reference for the life of the process. For objects cached in statics: releasing
// them during interpreter teardown would run after Python is gone.
inline PyObject* keep_forever(py::object obj) {
  return obj.release().ptr();
}

// The globals of one module, looked up at call time as Python code looks them up, so that a
// learner's replacement of a module attribute (a table, `serial`, `cv2`) is seen.
class ModuleGlobals {
 public:
  void bind(py::module_& m) { module_ = keep_forever(m); }
  py::object operator()(const char* name) const { return py::handle(module_).attr(name); }

 private:
  PyObject* module_ = nullptr;
};

// True when the attribute exists on the object (as Python's hasattr).
inline bool has_attr(py::handle obj, const char* name) {
  return py::hasattr(obj, name);
}

}  // namespace zelk
