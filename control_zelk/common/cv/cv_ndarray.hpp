// NumPy arrays <-> cv::Mat, shared by the vision modules.
//
// Inputs become cv::Mat headers over the array's own buffer (no copy) when pixels and
// channels are contiguous; rows may be strided, so a region view img[y:y+h, x:x+w] is used
// in place. Outputs are NumPy arrays that OpenCV allocates and writes into directly.
// Anything that cannot be used raises cv2.error with a message naming the operation.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace zelk {
namespace py = pybind11;

// The cv::Mat depth of an array of this dtype as cv2 takes it unchanged (uint8, int8,
// uint16, int16, int32, float32, float64 in native byte order), -1 for any other.
int depth_of(const py::dtype& dt);

// Whether cv2 reads arrays of this dtype as int32 (64-bit integers: int64, uint64, long).
bool read_as_int32(const py::dtype& dt);

// The array as cv2 reads an input: 64-bit integers cast to int32 (a copy), else `a` itself.
py::array as_cv2_reads(const py::array& a);

// Raises cv2.error, the exception the cv2 module itself raises.
[[noreturn]] void raise_cv_error(const std::string& message);

// Makes cv::Exception thrown by OpenCV reach Python as cv2.error, as it does from cv2.
void register_cv_error_translator();

// A cv::Mat over a NumPy array's pixels; `array` keeps the buffer alive while `mat` is used.
struct MatView {
  py::array array;
  cv::Mat mat;
};

// What an image argument must be. channels: 1 (H×W or H×W×1), 3 (H×W×3) or 0 (any).
struct ImageKind {
  int channels = 0;
  bool writable = false;  // the caller's pixels are drawn into
};

// View of `obj` as an 8-bit image. `where` names the operation in error messages.
// A readable array whose layout OpenCV cannot address is copied (as cv2 does for inputs);
// a writable one raises instead, since drawing into a copy would be lost.
MatView image_view(py::handle obj, const char* where, ImageKind kind = {});

// View of an array of any dtype OpenCV knows (uint8 … float64), 2-D or 3-D.
MatView array_view(py::handle obj, const char* where, bool writable = false);

// An empty cv::Mat whose buffer, once OpenCV allocates it as an output, is a NumPy array.
cv::Mat numpy_mat();

// The NumPy array behind `m`: no copy when `m` was allocated through numpy_mat() and covers
// its whole buffer; otherwise a copy. An H×W×1 result becomes H×W, as in cv2.
py::array to_array(const cv::Mat& m);

// cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY), with OpenCV's own checks of the frame.
py::array grey_of(py::handle frame);

// cv2.imshow(window, image), then cv2.waitKey(wait_ms), through the module's cv2: the very
// windows of the learner's own cv2 calls.
void show(const char* window, py::handle image, int wait_ms);

// img[y:y+h, x:x+w] taken by NumPy itself, so the result is a view of the caller's array.
py::object region(py::handle img, const cv::Rect& r);

// Contours as cv2 returns them: a list of N×1×2 int32 arrays.
py::array points_to_array(const std::vector<cv::Point>& points);
py::list contours_to_list(const std::vector<std::vector<cv::Point>>& contours);

// A contour argument (int32 or float32 points, shape N×1×2, N×2 or 1×N×2) as an N×1
// two-channel Mat over the caller's data.
MatView contour_view(py::handle obj, const char* where);

// (int(m10 / m00), int(m01 / m00)) as Python ints: the area centroid truncated toward zero,
// ZeroDivisionError for a shape of no area.
std::pair<py::object, py::object> centroid(const cv::Moments& m);

// An integer as cv2 takes it for an int argument: a Python int other than bool, or a NumPy
// integer, within C int range. False for anything else: the caller then hands the value to
// cv2 itself, so the result or the error is that of the plain Python step.
bool c_int(py::handle value, int* out);

// `x, y, w, h = box` (the interpreter's own errors for what does not unpack); `rect` holds the
// values when all four are c_int()s and so are x + w and y + h, and `ints` says so.
struct Box {
  std::array<py::object, 4> xywh;
  bool ints = false;
  cv::Rect rect;
};
Box unpack_box(py::handle box);

// "shape (480, 640, 3) dtype uint8", for error messages.
std::string describe(py::handle obj);

}  // namespace zelk
