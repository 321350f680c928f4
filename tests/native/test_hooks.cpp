// zelk_test_hooks: a module for the tests only, built by their set-up, never installed. It
// reaches code the learners' modules use but do not show: the grey conversion variants of the
// line methods (each held to cv2.cvtColor, so that a silent fall-back to the slow path shows)
// and the range mask colour detection starts from (held to cv2.inRange over every colour).
#include <pybind11/pybind11.h>

#include "cv_color_detect.hpp"
#include "cv_ndarray.hpp"
#include "grey_conversion.hpp"
#include "py_function.hpp"
#include "py_module.hpp"
#include "py_names.hpp"
#include "py_text.hpp"

namespace py = pybind11;

namespace {

py::object grey_rows(py::handle bgr, py::handle variant) {
  const zelk::MatView v = zelk::image_view(bgr, "grey_rows");
  if (v.mat.channels() != 3 && v.mat.channels() != 4)
    throw py::value_error("grey_rows: expected a BGR or BGRA image");
  const std::string name = zelk::utf8(variant);
  cv::Mat grey = zelk::numpy_mat();
  grey.create(v.mat.rows, v.mat.cols, CV_8UC1);
  for (int y = 0; y < v.mat.rows; ++y)
    if (!optik1::grey_row_with(name.c_str(), v.mat.ptr<uchar>(y), v.mat.channels(), v.mat.cols,
                               grey.ptr<uchar>(y)))
      throw py::value_error("grey_rows: no variant " + name);
  return zelk::to_array(grey);
}

}  // namespace

ZELK_MODULE(zelk_test_hooks, m) {
  zelk::bind_module(m);
  zelk::register_cv_error_translator();
  m.attr("cv2") = py::module_::import("cv2");
  m.attr("np") = py::module_::import("numpy");
  zelk::def(m, "grey_conversion",
            "The grey conversion the line methods use here: a variant's name, or \"cvtColor\".",
            [] { return py::str(optik1::grey_conversion()); });
  zelk::def(m, "grey_variants", "The grey conversion variants of this build, fastest first.", [] {
    py::list names;
    for (const char* n : optik1::grey_variants()) names.append(n);
    return names;
  });
  zelk::def(m, "grey_rows", "The grey image of bgr computed by the named variant.", &grey_rows,
            py::arg("bgr"), py::arg("variant"));
  zelk::def(
      m, "range_mask",
      "The range mask colour detection starts from: cv2.inRange of the "
      "HSV frame.",
      [](py::handle bgr, py::handle lower, py::handle upper) {
        return zelk::color::range_mask(bgr, lower, upper, "range_mask");
      },
      py::arg("bgr"), py::arg("lower"), py::arg("upper"));
}
