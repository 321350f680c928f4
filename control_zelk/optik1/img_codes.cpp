// Img's QR codes: decoded from the grey frame, marked, shown; the text goes to er_data.
#include <pybind11/pybind11.h>

#include "cv_qr.hpp"
#include "optik1.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik1 {
namespace {

void decode_display(py::object self, py::handle image) {
  zelk::qr::decode_display(self, image, ZELK_ID("er_data"));
}

void erweima_detect(py::object self) {
  self.attr("er_data") = "none";
  zelk::qr::read_codes(self, self.attr("img"));
}

}  // namespace

void add_code_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "decodeDisplay",
             "Marks every QR code in image (rectangle and circle) and sets er_data to the text "
             "of the last one (UTF-8).",
             &decode_display, py::arg("image"));
  add_method(table, cls, "erweima_detect",
             "Decodes the QR codes of the grey img into er_data (\"none\" without one), marks "
             "them and shows the grey frame in \"erweima\".",
             &erweima_detect);
}

}  // namespace optik1
