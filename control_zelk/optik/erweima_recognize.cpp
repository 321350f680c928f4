// erweima_recognize: QR codes read from the grey frame, marked, and shown.
#include "optik.hpp"

#include "cv_qr.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik {
namespace {

void init(py::object self) {
  self.attr("data") = "none";
}

void recognize(py::object self, py::handle img) {
  self.attr("data") = "none";
  self.attr("img") = img;
  zelk::qr::read_codes(self, self.attr("img"));
}

void decode_display(py::object self, py::handle image) {
  zelk::qr::decode_display(self, image, ZELK_ID("data"));
}

}  // namespace

void def_erweima_recognize(py::module_& m) {
  py::object cls =
      zelk::make_class(m, "erweima_recognize", "Reads QR codes in a frame and marks them.",
                       py::make_tuple(m.attr("Camera")));
  zelk::def(cls, "__init__", "data = \"none\".", &init);
  zelk::def(cls, "recognize",
            "Decodes the QR codes of the grey img into data (\"none\" without one), marks them "
            "and shows the grey frame in \"erweima\".",
            &recognize, py::arg("img"));
  zelk::def(cls, "decodeDisplay",
            "Marks every code in image (rectangle and circle) and sets data to the text of the "
            "last one (UTF-8).",
            &decode_display, py::arg("image"));
}

}  // namespace optik
