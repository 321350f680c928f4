#include "py_fast_calls.hpp"

#include <exception>
#include <unordered_map>

namespace zelk {
namespace {

constexpr size_t kMaxArgs = 16;

const char* capsule_name = "zelk.fast_method";

FastMethod& method_of(PyObject* capsule) {
  return *static_cast<FastMethod*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// Sorts positional and keyword arguments into one slot per parameter, as Python does for
// positional-or-keyword parameters. Returns false with a TypeError set.
bool bind_arguments(const FastMethod& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
  const auto total = static_cast<Py_ssize_t>(m.params.size() + 1);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "%s() needs the object it is called on", m.name.c_str());
    return false;
  }
  if (nargs > total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 m.name.c_str(), total, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (size_t j = 0; j < m.params.size() && slot < 0; ++j)
      if (PyUnicode_CompareWithASCIIString(key, m.params[j].name.c_str()) == 0)
        slot = static_cast<Py_ssize_t>(j) + 1;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", m.name.c_str(),
                   key);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", m.name.c_str(),
                   key);
      return false;
    }
    slots[slot] = args[nargs + k];
  }
  for (size_t j = 0; j < m.params.size(); ++j) {
    if (slots[j + 1] != nullptr) continue;
    if (!m.params[j].default_value) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%s'", m.name.c_str(),
                   m.params[j].name.c_str());
      return false;
    }
    slots[j + 1] = m.params[j].default_value.ptr();
  }
  return true;
}

PyObject* call(PyObject* capsule, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const FastMethod& m = method_of(capsule);
  PyObject* slots[kMaxArgs];
  if (!bind_arguments(m, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return nullptr;
  try {
    return m.body(slots).release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

}  // namespace

py::handle literal(const char* text) {
  static std::unordered_map<const char*, PyObject*> made;
  PyObject*& s = made[text];
  if (s == nullptr) {
    s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw py::error_already_set();
  }
  return s;
}

py::object call_method_kw(py::handle obj, const char* name, const char* keyword, py::handle value) {
  static std::unordered_map<const char*, PyObject*> names;  // one-element keyword tuples
  PyObject*& kwnames = names[keyword];
  if (kwnames == nullptr) kwnames = PyTuple_Pack(1, literal(keyword).ptr());
  if (kwnames == nullptr) throw py::error_already_set();
  PyObject* argv[] = {obj.ptr(), value.ptr()};
  PyObject* r = PyObject_VectorcallMethod(literal(name).ptr(), argv, 1, kwnames);
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void def_fast(py::handle cls, FastMethod method) {
  if (method.params.size() + 1 > kMaxArgs) throw std::length_error("too many parameters");
  auto* owned = new FastMethod(std::move(method));
  py::capsule holder(owned, capsule_name, [](PyObject* c) {
    delete static_cast<FastMethod*>(PyCapsule_GetPointer(c, capsule_name));
  });
  // The method table entry lives as long as the function, which is as long as the class.
  auto* def = new PyMethodDef{owned->name.c_str(),
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
  py::object fn = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(def, holder.ptr(), cls.attr("__module__").ptr()));
  if (!fn) throw py::error_already_set();
  py::object bound = py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
  if (!bound) throw py::error_already_set();
  cls.attr(owned->name.c_str()) = bound;
}

}  // namespace zelk
