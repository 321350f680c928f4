#include "cv_qr.hpp"

#include <pybind11/numpy.h>

#include <opencv2/imgproc.hpp>

#include <vector>

#include "cv_ndarray.hpp"
#include "cv_zbar.hpp"
#include "py_ops.hpp"

namespace zelk::qr {
namespace {

bool is_grey8(py::handle obj) {
  if (!py::isinstance<py::array>(obj)) return false;
  auto a = py::reinterpret_borrow<py::array>(obj);
  return depth_of(a.dtype()) == CV_8U && (a.ndim() == 2 || (a.ndim() == 3 && a.shape(2) == 1));
}

void mark(py::handle image, const cv::Rect& r) {
  MatView v = array_view(image, "rectangle", true);
  cv::rectangle(v.mat, r.tl(), r.br(), cv::Scalar(0, 0, 255), 5);
  cv::circle(v.mat, cv::Point(r.x + r.width / 2, r.y + r.height / 2), r.height / 2,
             cv::Scalar(255, 0, 0), 5);
}

// The same marks for a box whose values are not all ints, drawn by cv2 itself: its result, or
// its error, is that of the plain Python steps.
void mark(py::handle image, const Box& box) {
  if (box.ints) return mark(image, box.rect);
  const auto& [x, y, w, h] = box.xywh;
  const auto int_of = [](const py::object& v) { return steal_or_throw(PyNumber_Long(v.ptr())); };
  const py::int_ two(2);
  py::object cv2 = global(ZELK_ID("cv2"));
  call_method(cv2, ZELK_ID("rectangle"), image, py::make_tuple(x, y),
              py::make_tuple(add(x, w), add(y, h)), py::make_tuple(0, 0, 255), py::int_(5));
  call_method(cv2, ZELK_ID("circle"), image,
              py::make_tuple(int_of(add(x, truediv(w, two))), int_of(add(y, truediv(h, two)))),
              int_of(truediv(h, two)), py::make_tuple(255, 0, 0), py::int_(5));
}

void store(py::handle self, Id result, const char* data, std::size_t size) {
  py::object text =
      steal_or_throw(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict"));
  if (PyObject_SetAttr(self.ptr(), result.ptr, text.ptr()) != 0) throw py::error_already_set();
}

}  // namespace

void decode_display(py::handle self, py::handle image, Id result) {
  if (!is_grey8(image)) {
    // pyzbar decides what else it reads, and raises its own errors for what it does not.
    py::object symbols = call_method(global(ZELK_ID("pyzbar")), ZELK_ID("decode"), image);
    for (py::handle s : symbols) {
      mark(image, unpack_box(s.attr("rect")));
      py::object text = call_method(s.attr("data"), ZELK_ID("decode"), py::str("utf-8"));
      if (PyObject_SetAttr(self.ptr(), result.ptr, text.ptr()) != 0) throw py::error_already_set();
    }
    return;
  }
  const MatView grey = array_view(image, "decode");
  std::vector<Symbol> symbols;
  {
    py::gil_scoped_release unlocked;
    symbols = scan_symbols(grey.mat);
  }
  for (const Symbol& s : symbols) {
    mark(image, s.rect);
    store(self, result, s.data.data(), s.data.size());
  }
}

void read_codes(py::handle self, py::handle frame) {
  py::object grey = grey_of(frame);
  call_method(self, ZELK_ID("decodeDisplay"), grey);
  show("erweima", grey, 1);
}

}  // namespace zelk::qr
