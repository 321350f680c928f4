// Hooks for the tests of the grey conversion: which variant the line methods use on this
// machine, and each variant forced on a whole frame, so that every one of them is held to
// cv2.cvtColor and a silent fall-back to the slow path shows.
#include <pybind11/pybind11.h>

#include "cv_ndarray.hpp"
#include "grey_conversion.hpp"
#include "optik1.hpp"
#include "py_text.hpp"

namespace optik1 {
namespace {

py::object grey_rows(py::handle bgr, py::handle variant) {
  const zelk::MatView v = zelk::image_view(bgr, "_grey_rows");
  if (v.mat.channels() != 3 && v.mat.channels() != 4)
    throw py::value_error("_grey_rows: expected a BGR or BGRA image");
  const std::string name = zelk::utf8(variant);
  cv::Mat grey = zelk::numpy_mat();
  grey.create(v.mat.rows, v.mat.cols, CV_8UC1);
  for (int y = 0; y < v.mat.rows; ++y)
    if (!grey_row_with(name.c_str(), v.mat.ptr<uchar>(y), v.mat.channels(), v.mat.cols,
                       grey.ptr<uchar>(y)))
      throw py::value_error("_grey_rows: no variant " + name);
  return zelk::to_array(grey);
}

}  // namespace

void add_grey_checks(py::module_& m) {
  zelk::def(m, "_grey_conversion",
            "The grey conversion the line methods use here: a variant's name, or \"cvtColor\".",
            [] { return py::str(grey_conversion()); });
  zelk::def(m, "_grey_variants", "The grey conversion variants of this build, fastest first.", [] {
    py::list names;
    for (const char* n : grey_variants()) names.append(n);
    return names;
  });
  zelk::def(m, "_grey_rows", "The grey image of bgr computed by the named variant.", &grey_rows,
            py::arg("bgr"), py::arg("variant"));
}

}  // namespace optik1
