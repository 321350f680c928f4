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

// The steps through cv2 itself, for an image whose extents are not ints OpenCV takes: its
// results, or its errors, are those of the plain Python steps.
py::object python_distortion(py::handle img, py::handle mtx, py::handle dist, py::handle h,
                             py::handle w) {
  py::object cv2 = zelk::global(ZELK_ID("cv2"));
  const py::tuple size = py::make_tuple(w, h);
  auto [new_camera, roi] = zelk::unpack2(zelk::call_method(
      cv2, ZELK_ID("getOptimalNewCameraMatrix"), mtx, dist, size, py::int_(1), size));
  py::object dst =
      zelk::call_method(cv2, ZELK_ID("undistort"), img, mtx, dist, py::none(), new_camera);
  const auto [x, y, rw, rh] = zelk::unpack<4>(roi);
  if (zelk::ne(roi, py::make_tuple(0, 0, 0, 0))) {
    dst = dst[py::make_tuple(py::slice(y, zelk::add(y, rh), py::none()),
                             py::slice(x, zelk::add(x, rw), py::none()))];
    dst = zelk::call_method(cv2, ZELK_ID("resize"), dst, py::make_tuple(320, 320));
  }
  return dst;
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
  int h = 0, w = 0;
  if (!zelk::c_int(rows, &h) || !zelk::c_int(cols, &w))
    return python_distortion(img, mtx, dist, rows, cols);

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
