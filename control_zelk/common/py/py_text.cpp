#include "py_text.hpp"

namespace zelk {

std::string utf8(py::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

void check_encodable(py::handle obj) {
  if (PyUnicode_Check(obj.ptr())) utf8(obj);
}

}  // namespace zelk
