#include "optik.hpp"

#include "cv_ndarray.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace optik {
namespace {

// A calibration array as OpenCV takes it: a 1-D array of n values is an n×1 matrix.
zelk::MatView calibration_view(py::object a, const char* where) {
  if (py::isinstance<py::array>(a) && py::reinterpret_borrow<py::array>(a).ndim() == 1)
    a = a.attr("reshape")(-1, 1);
  return zelk::array_view(a, where);
}

// Undistorts with the camera matrix and the first four distortion coefficients stored in
// calibrate.npz (working directory); a non-empty valid-pixel rectangle is cut out and
// stretched to 320×320.
py::object distortion(py::handle img) {
  py::object archive =
      zelk::call_method(zelk::global(ZELK_ID("np")), ZELK_ID("load"), py::str("calibrate.npz"));
  py::object mtx = archive["mtx"];
  py::object dist = archive["dist"][py::slice(0, 4, 1)];
  auto [rows, cols] = zelk::unpack2(img.attr("shape")[py::slice(0, 2, 1)]);
  const int h = rows.cast<int>(), w = cols.cast<int>();

  const zelk::MatView camera = calibration_view(mtx, "getOptimalNewCameraMatrix");
  const zelk::MatView coeffs = calibration_view(dist, "getOptimalNewCameraMatrix");
  const zelk::MatView src = zelk::array_view(img, "undistort");
  cv::Mat dst = zelk::numpy_mat();
  {
    py::gil_scoped_release unlocked;
    cv::Rect roi;
    const cv::Size size(w, h);
    const cv::Mat new_camera =
        cv::getOptimalNewCameraMatrix(camera.mat, coeffs.mat, size, 1, size, &roi);
    cv::Mat undistorted = zelk::numpy_mat();
    cv::undistort(src.mat, undistorted, camera.mat, coeffs.mat, new_camera);
    if (roi == cv::Rect()) {
      dst = undistorted;
    } else {
      cv::resize(undistorted(roi & cv::Rect(0, 0, undistorted.cols, undistorted.rows)), dst,
                 cv::Size(320, 320));
    }
  }
  return zelk::to_array(dst);
}

}  // namespace

void def_distortion(py::module_& m) {
  zelk::def(m, "distortion",
            "Undistorts img with the calibration in calibrate.npz; a non-empty valid region is "
            "cut out and stretched to 320x320.",
            &distortion, py::arg("img"));
}

}  // namespace optik
