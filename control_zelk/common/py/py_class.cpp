#include "py_class.hpp"

namespace zelk {

py::object make_class(py::module_& m, const char* name, const char* doc, py::tuple bases) {
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = py::str(name);
  ns["__doc__"] = py::str(doc);
  py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      py::str(name), bases, ns);
  m.attr(name) = cls;
  return cls;
}

}  // namespace zelk
