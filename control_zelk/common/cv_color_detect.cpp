#include "cv_color_detect.hpp"

#include "cv_color_table.hpp"
#include "cv_ndarray.hpp"
#include "py_gil.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

namespace zelk::color {
namespace {

const char* const kConversion = "cvtColor(COLOR_BGR2HSV)";

// mask = inRange(cvtColor(bgr, BGR2HSV), lower, upper), bounds taken as cv2 takes them.
void hsv_in_range(const MatView& bgr, py::handle lower, py::handle upper, cv::Mat& mask) {
  if (bgr.mat.empty()) raise_cv_error(std::string(kConversion) + ": the image is empty");
  Bound lo, hi;
  if (read_bound(lower, &lo) && read_bound(upper, &hi)) {
    const Table table = range_table(lo, hi);
    mask.create(bgr.mat.size(), CV_8UC1);  // with the GIL: `mask` may be a NumPy array
    zelk::GilReleased unlocked;
    if (table) {
      apply_table(*table, bgr.mat, mask);
    } else {
      cv::Mat hsv;
      cv::cvtColor(bgr.mat, hsv, cv::COLOR_BGR2HSV);
      in_hsv_range(hsv, lo, hi, mask);
    }
    return;
  }
  // Bounds of another form (tuples, 2-D arrays, ...): cv2 decides what they mean.
  py::object cv2 = global(ZELK_ID("cv2"));
  py::object hsv = cv2.attr("cvtColor")(bgr.array, cv2.attr("COLOR_BGR2HSV"));
  py::object in_range = cv2.attr("inRange")(hsv, lower, upper);
  image_view(in_range, "inRange", {1, false}).mat.copyTo(mask);
}

struct Blob {
  cv::Rect box;
  cv::Point2f centre;
  float radius = 0;
  cv::Moments moments;
};

// Opens the mask (two erosions, two dilations, 3×3) and measures its largest outer contour,
// the first of equal ones. False when the mask holds no contour.
bool largest_blob(cv::Mat& mask, Blob* blob) {
  cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
  cv::dilate(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return false;
  const std::vector<cv::Point>* best = &contours.front();
  double best_area = cv::contourArea(*best);
  for (const auto& c : contours) {
    const double area = cv::contourArea(c);
    if (area > best_area) best = &c, best_area = area;
  }
  blob->box = cv::boundingRect(*best);
  cv::minEnclosingCircle(*best, blob->centre, blob->radius);
  blob->moments = cv::moments(*best);
  return true;
}

}  // namespace

void detect(py::object self, py::handle frame, const char* result_attr) {
  auto image = py::reinterpret_borrow<py::object>(frame);
  self.attr(result_attr) = "none";
  self.attr("frame") = image;
  self.attr("img_new") = image;
  const MatView bgr = image_view(frame, kConversion, {3, false});
  cv::Mat mask;
  // Looked up in this order, so a missing range is reported as the missing lower bound.
  py::object lower = self.attr("colorLower");
  py::object upper = self.attr("colorUpper");
  hsv_in_range(bgr, lower, upper, mask);

  Blob blob;
  bool found;
  {
    zelk::GilReleased unlocked;
    found = largest_blob(mask, &blob);
  }
  if (!found) {
    call_method(self.attr("pts"), ZELK_ID("clear"));
    self.attr(result_attr) = "other_color";
    return;
  }
  if (blob.box.width > 60 && blob.box.height > 60) self.attr("img_new") = region(image, blob.box);
  self.attr("x") = py::float_(blob.centre.x);
  self.attr("y") = py::float_(blob.centre.y);
  self.attr("radius") = py::float_(blob.radius);

  const auto [cx, cy] = centroid(blob.moments);
  py::tuple centre = py::make_tuple(cx, cy);
  if (blob.radius > 5) {
    call_method(self.attr("pts"), ZELK_ID("appendleft"), centre);
    self.attr(result_attr) = self.attr("color");
  }
}

py::object range_mask(py::handle bgr, py::handle lower, py::handle upper, const char* where) {
  const MatView view = image_view(bgr, where, {3, false});
  cv::Mat mask = numpy_mat();
  hsv_in_range(view, lower, upper, mask);
  return to_array(mask);
}

}  // namespace zelk::color
