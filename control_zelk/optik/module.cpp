#include <pybind11/pybind11.h>

#include "cv_ndarray.hpp"

PYBIND11_MODULE(optik, m) {
  zelk::register_cv_error_translator();
  (void)m;
}
