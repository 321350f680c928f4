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
      auto [x, y, w, h] = std::tuple<int, int, int, int>(
          s.attr("rect")[py::int_(0)].cast<int>(), s.attr("rect")[py::int_(1)].cast<int>(),
          s.attr("rect")[py::int_(2)].cast<int>(), s.attr("rect")[py::int_(3)].cast<int>());
      mark(image, cv::Rect(x, y, w, h));
      const py::bytes data = s.attr("data");
      const std::string payload = data;
      store(self, result, payload.data(), payload.size());
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
