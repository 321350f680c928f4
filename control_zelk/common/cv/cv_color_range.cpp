// Choosing the HSV range: the named colour table, clicking pixels, setting bounds directly.
// The bounds stay ordinary Python objects (lists, NumPy arrays, whatever a click yields) since
// learners read, print and change them.
#include "cv_color_detect.hpp"

#include "cv_ndarray.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"

#include <opencv2/imgproc.hpp>

namespace zelk::color {
namespace {

struct NamedRange {
  const char* name;
  int lower[3];
  int upper[3];
};

// Hue 0–180, saturation and value 0–255. Red wraps through hue 0 (156..180 and 0..10: a lower
// hue above the upper one); blue from 80, overlapping cyan, is kept as lessons are tuned to it.
constexpr NamedRange kColours[] = {
    {"red", {156, 43, 46}, {10, 255, 255}},     {"green", {35, 43, 46}, {77, 255, 255}},
    {"yellow", {26, 43, 46}, {34, 255, 255}},   {"blue", {80, 43, 46}, {124, 255, 255}},
    {"orange", {11, 43, 46}, {25, 255, 255}},   {"black", {0, 0, 0}, {180, 255, 46}},
    {"white", {0, 0, 221}, {180, 30, 255}},     {"gray", {0, 0, 46}, {180, 43, 220}},
    {"purple", {125, 43, 46}, {155, 255, 255}}, {"qing", {78, 43, 46}, {99, 255, 255}},
};

// Running extremes of the clicked pixels, per channel H, S, V.
constexpr const char* kMin[3] = {"Hmin", "Smin", "Vmin"};
constexpr const char* kMax[3] = {"Hmax", "Smax", "Vmax"};

py::list hsv_list(const int (&v)[3]) {
  py::list list;
  for (int value : v) list.append(value);
  return list;
}

py::object np_array(py::handle list) {
  return call_method(global(ZELK_ID("np")), ZELK_ID("array"), list);
}

// colorLower/colorUpper follow the lists, as the arrays cv2.inRange is given.
void set_arrays(py::object& self) {
  self.attr("colorLower") = np_array(self.attr("color_list_lower"));
  self.attr("colorUpper") = np_array(self.attr("color_list_upper"));
}

}  // namespace

void init(py::object self, py::handle name, const char* result_attr) {
  self.attr(result_attr) = "none";
  for (const NamedRange& c : kColours) {
    if (eq(name, py::str(c.name))) {
      self.attr("color_list_lower") = hsv_list(c.lower);
      self.attr("color_list_upper") = hsv_list(c.upper);
      break;
    }
  }
  // An unknown name leaves the lists unset: reading them back raises AttributeError.
  set_arrays(self);
  self.attr("color") = name;
  self.attr("mybuffer") = 16;
  self.attr("pts") = global(ZELK_ID("deque"))(py::arg("maxlen") = self.attr("mybuffer"));
  self.attr("counter") = 0;
  for (const char* attr : kMax) self.attr(attr) = 0;
  for (const char* attr : kMin) self.attr(attr) = 255;
}

void pick_range(py::object self, py::handle bgr, py::handle label) {
  py::object cv2 = global(ZELK_ID("cv2"));
  const MatView view = image_view(bgr, "cvtColor(COLOR_BGR2HSV)", {3, false});
  cv::Mat hsv = numpy_mat();
  cv::cvtColor(view.mat, hsv, cv::COLOR_BGR2HSV);
  self.attr("HSV") = to_array(hsv);

  cv2.attr("imshow")("imageHSV", self.attr("HSV"));
  cv2.attr("imshow")("image", bgr);
  cv2.attr("setMouseCallback")("imageHSV", self.attr("getpos"));
  cv2.attr("waitKey")(0);  // clicks reach getpos during this wait

  py::list lower, upper;
  for (const char* attr : kMin) lower.append(self.attr(attr));
  for (const char* attr : kMax) upper.append(self.attr(attr));
  self.attr("color_list_lower") = lower;
  self.attr("color_list_upper") = upper;
  set_arrays(self);
  self.attr("color") = label;
  zelk::print(self.attr("colorLower"));
  zelk::print(self.attr("colorUpper"));
}

void getpos(py::object self, py::handle event, py::handle x, py::handle y) {
  if (!eq(event, global(ZELK_ID("cv2")).attr("EVENT_LBUTTONDOWN"))) return;
  py::object pixel = self.attr("HSV")[py::make_tuple(y, x)];
  zelk::print(pixel);
  for (int ch = 0; ch < 3; ++ch) {
    py::object v = pixel[py::int_(ch)];
    if (lt(v, self.attr(kMin[ch]))) self.attr(kMin[ch]) = v;
    if (gt(v, self.attr(kMax[ch]))) self.attr(kMax[ch]) = v;
  }
}

void set_range(py::object self, py::handle label, py::handle low, py::handle up) {
  self.attr("color_list_lower") = low;
  self.attr("color_list_upper") = up;
  set_arrays(self);
  self.attr("color") = label;
  zelk::print(py::make_tuple("设置阈值成功，当前阈值为：", self.attr("color_list_lower"),
                             self.attr("color_list_upper")));
}

}  // namespace zelk::color
