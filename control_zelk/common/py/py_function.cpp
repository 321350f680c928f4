#include "py_function.hpp"

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include <structmember.h>

#include "py_errors.hpp"
#include "py_names.hpp"
#include "py_threads.hpp"

namespace zelk {
namespace {

constexpr std::size_t kMaxParams = 16;

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  FunctionDef* fn;
  std::vector<PyObject*>* names;  // interned parameter names
  PyObject* python_twin;          // a def of the same signature, made when first needed
  PyObject* signature;            // inspect.Signature, made when first asked for
  PyObject* dict;
  PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) {
  return reinterpret_cast<FunctionObject*>(self);
}

// `def qualname(params): pass`, with the same defaults objects: the interpreter's own view
// of the signature, used to report argument errors and to describe the parameters.
PyObject* python_twin(FunctionObject* f) {
  if (f->python_twin != nullptr) return f->python_twin;
  const FunctionDef& fn = *f->fn;
  py::dict ns;
  ns["__builtins__"] = py::module_::import("builtins");
  std::string params;
  for (std::size_t i = 0; i < fn.params.size(); ++i) {
    if (i > 0) params += ", ";
    params += fn.params[i].name;
    if (fn.params[i].default_value) {
      const std::string slot = "__default" + std::to_string(i);
      ns[slot.c_str()] = fn.params[i].default_value;
      params += "=" + slot;
    }
  }
  const std::string source = "def " + fn.name + "(" + params + "):\n    pass\n";
  steal_or_throw(PyRun_String(source.c_str(), Py_file_input, ns.ptr(), ns.ptr()));
  py::object twin = ns[fn.name.c_str()];
  twin.attr("__qualname__") = fn.qualname;
  twin.attr("__module__") = fn.module;
  twin.attr("__doc__") = fn.doc;
  f->python_twin = twin.release().ptr();
  return f->python_twin;
}

// Sorts the arguments into one slot per parameter as Python does for positional-or-keyword
// parameters; false when they do not bind.
bool bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
  const FunctionDef& fn = *f->fn;
  const auto n = static_cast<Py_ssize_t>(fn.params.size());
  if (nargs > n) return false;
  for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t j = 0; j < n && slot < 0; ++j)
      if ((*f->names)[static_cast<std::size_t>(j)] == key) slot = j;
    for (Py_ssize_t j = 0; j < n && slot < 0; ++j) {
      const int same =
          PyObject_RichCompareBool((*f->names)[static_cast<std::size_t>(j)], key, Py_EQ);
      if (same < 0) PyErr_Clear();
      if (same > 0) slot = j;
    }
    if (slot < 0 || slots[slot] != nullptr) return false;
    slots[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (slots[i] != nullptr) continue;
    const py::object& d = fn.params[static_cast<std::size_t>(i)].default_value;
    if (!d) return false;
    slots[i] = d.ptr();
  }
  return true;
}

PyObject* call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = as_function(self);
  // A thread still calling in while the interpreter ends (a learner's daemon thread) would be
  // cancelled at its next wait for the GIL, in the middle of this library's C++.
  if (interpreter_ending_elsewhere()) wait_for_process_end();
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* slots[kMaxParams];
  try {
    if (!bind(f, args, nargs, kwnames, slots)) {
      // The twin raises the interpreter's TypeError for exactly these arguments.
      PyObject* r = PyObject_Vectorcall(python_twin(f), args, nargsf, kwnames);
      if (r == nullptr) return nullptr;
      Py_DECREF(r);
      PyErr_Format(PyExc_SystemError, "%s(): arguments accepted by Python but not bound",
                   f->fn->qualname.c_str());
      return nullptr;
    }
    return f->fn->body(slots).release().ptr();
  } catch (...) {
    // A thread the interpreter's end cancelled in code not guarded by at_exit_safe.
    if (interpreter_ending_elsewhere()) wait_for_process_end();
    set_python_error();
  }
  return nullptr;
}

// Looked up on a class it is the function itself; on an instance, a bound method.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->fn->qualname.c_str(), self);
}

// The objects a function holds that may lead back to it: its __dict__, its defaults and what
// is made of them (the Python twin, the signature).
int traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->python_twin);
  Py_VISIT(f->signature);
  if (f->fn != nullptr)
    for (const auto& p : f->fn->params) Py_VISIT(p.default_value.ptr());
  return 0;
}

// Breaks reference cycles, as the collector of a Python function does: without its defaults
// the function still answers, with the interpreter's error for a missing argument.
int clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->python_twin);
  Py_CLEAR(f->signature);
  if (f->fn != nullptr)
    for (auto& p : f->fn->params) p.default_value = py::object();
  return 0;
}

void dealloc(PyObject* self) {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  Py_CLEAR(f->python_twin);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->dict);
  if (f->names != nullptr)
    for (PyObject* name : *f->names) Py_DECREF(name);
  delete f->names;
  delete f->fn;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(as_function(self)->fn->name.c_str());
}
PyObject* get_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(as_function(self)->fn->qualname.c_str());
}
PyObject* get_module(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->fn->module.ptr());
}
PyObject* get_doc(PyObject* self, void*) {
  const std::string& doc = as_function(self)->fn->doc;
  if (doc.empty()) Py_RETURN_NONE;
  return PyUnicode_FromString(doc.c_str());
}

PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  try {
    if (f->signature == nullptr) {
      py::object inspect = py::module_::import("inspect");
      f->signature = inspect.attr("signature")(py::handle(python_twin(f))).release().ptr();
    }
    return Py_NewRef(f->signature);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

PyObject* get_text_signature(PyObject* self, void* closure) {
  PyObject* sig = get_signature(self, closure);
  if (sig == nullptr) return nullptr;
  PyObject* text = PyObject_Str(sig);
  Py_DECREF(sig);
  return text;
}

// Pickled and copied by reference, as Python's functions are: their module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) {
  return PyUnicode_FromString(as_function(self)->fn->qualname.c_str());
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyTypeObject* function_type() {
  static PyTypeObject* const type = [] {
    // METHOD_DESCRIPTOR: obj.method(...) calls with obj as first argument, without making
    // a bound method first, as for Python functions. Like the interpreter's own function
    // types it cannot be instantiated or subclassed from Python, nor changed.
    static PyType_Spec fn = {"control_zelk.function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_GC |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                             slots};
    PyObject* t = PyType_FromSpec(&fn);
    if (t == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(t);
  }();
  return type;
}

}  // namespace

py::object make_function(FunctionDef fn) {
  if (fn.params.size() > kMaxParams) throw std::length_error(fn.qualname + ": too many parameters");
  auto names = std::make_unique<std::vector<PyObject*>>();
  for (const auto& p : fn.params) names->push_back(detail::make_interned(p.name.c_str()));
  PyTypeObject* type = function_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) {
    for (PyObject* n : *names) Py_DECREF(n);
    throw py::error_already_set();
  }
  FunctionObject* f = as_function(obj);
  f->vectorcall = call;
  f->fn = new FunctionDef(std::move(fn));
  f->names = names.release();
  return py::reinterpret_steal<py::object>(obj);
}

namespace detail {

FunctionDef def_for(py::handle owner, const char* name, const char* doc) {
  FunctionDef fn;
  fn.name = name;
  fn.doc = doc == nullptr ? "" : doc;
  if (PyType_Check(owner.ptr())) {
    fn.qualname = py::str(owner.attr("__qualname__")).cast<std::string>() + "." + name;
    fn.module = owner.attr("__module__");
    fn.params.push_back({"self", py::object()});
  } else {
    fn.qualname = name;
    fn.module = owner.attr("__name__");
  }
  return fn;
}

}  // namespace detail
}  // namespace zelk
