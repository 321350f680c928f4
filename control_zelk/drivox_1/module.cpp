#include <pybind11/pybind11.h>

PYBIND11_MODULE(Drivox_1, m) { (void)m; }
