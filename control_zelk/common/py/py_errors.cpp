#include "py_errors.hpp"

#include <new>
#include <stdexcept>
#include <vector>

namespace zelk {
namespace {

namespace py = pybind11;

std::vector<ExceptionTranslator>& translators() {
  static std::vector<ExceptionTranslator> added;
  return added;
}

void translate_standard(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const py::builtin_exception& err) {
    err.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::domain_error& err) {
    PyErr_SetString(PyExc_ValueError, err.what());
  } catch (const std::invalid_argument& err) {
    PyErr_SetString(PyExc_ValueError, err.what());
  } catch (const std::length_error& err) {
    PyErr_SetString(PyExc_ValueError, err.what());
  } catch (const std::out_of_range& err) {
    PyErr_SetString(PyExc_IndexError, err.what());
  } catch (const std::range_error& err) {
    PyErr_SetString(PyExc_ValueError, err.what());
  } catch (const std::overflow_error& err) {
    PyErr_SetString(PyExc_OverflowError, err.what());
  } catch (const std::exception& err) {
    PyErr_SetString(PyExc_RuntimeError, err.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
  }
}

}  // namespace

void add_exception_translator(ExceptionTranslator translate) {
  translators().push_back(translate);
}

void set_python_error() {
  const std::exception_ptr e = std::current_exception();
  try {
    std::rethrow_exception(e);
  } catch (py::error_already_set& err) {  // a Python error passes unchanged, whoever translates
    err.restore();
    return;
  } catch (...) {
  }
  const auto& own = translators();
  for (auto it = own.rbegin(); it != own.rend(); ++it)
    if ((*it)(e)) return;
  translate_standard(e);
}

}  // namespace zelk
