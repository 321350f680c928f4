// The globals both vision modules start with: the platform test that chooses the kit
// folder, the kit paths, and the label tables of the recognition model. Each module gets
// its own objects (a learner may replace them in one module without touching the other).
#pragma once

#include <pybind11/pybind11.h>

namespace zelk {
namespace py = pybind11;

// system_platform, main_path, picture_path, model_path, d_path, then items_num,
// items_dir, items_label and items_laji, bound in that order.
void def_kit_globals(py::module_& m);

}  // namespace zelk
