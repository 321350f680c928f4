// model_recognize: a frame classified by an ONNX network, labelled through the item tables.
#include "optik.hpp"

#include "cv_model.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik {
namespace {

namespace model = zelk::model;

// model_name up to its first ".".
py::object short_name(py::handle model_name) {
  return zelk::call_method(model_name, ZELK_ID("split"), py::str("."))[py::int_(0)];
}

void init(py::object self, py::handle model_name) {
  self.attr("model") = model::load(zelk::add(zelk::global(ZELK_ID("model_path")), model_name));
  self.attr("item") = short_name(model_name);
  self.attr("pro") = 0;
  self.attr("data") = "none";
}

void run(py::object self, py::handle img, bool resize, bool centred) {
  py::object pro = model::probabilities(self.attr("model"), model::tensor(img, resize, centred));
  self.attr("pro") = pro;
}

void recognize(py::object self, py::handle img) {
  py::object frame = zelk::call_method(zelk::global(ZELK_ID("cv2")), ZELK_ID("resize"), img,
                                       py::make_tuple(224, 224));
  zelk::call_method(self, ZELK_ID("onnx_detect_new"), frame);
  py::object label = model::label(self.attr("pro"));
  if (label) self.attr("data") = label;
}

}  // namespace

void def_model_recognize(py::module_& m) {
  py::object cls = zelk::make_class(m, "model_recognize", "Classifies frames with an ONNX network.",
                                    py::make_tuple(m.attr("Camera")));
  zelk::def(cls, "__init__",
            "Reads the network model_path + model_name into model; item = the name up to its "
            "first \".\", pro = 0, data = \"none\".",
            &init, py::arg("model_name"));
  zelk::def(
      cls, "onnx_detect",
      "Runs the network on img resized to 224x224, values (pixel / 255 - 0.5) / 0.5; the "
      "class probabilities go to pro.",
      [](py::object self, py::handle img) { run(self, img, true, true); }, py::arg("img"));
  zelk::def(
      cls, "onnx_detect_new",
      "Runs the network on img as it is, values pixel / 255; the class probabilities go to "
      "pro.",
      [](py::object self, py::handle img) { run(self, img, false, false); }, py::arg("img"));
  zelk::def(cls, "recognize",
            "Classifies img (resized to 224x224): data = the label of a class more probable "
            "than 0.9, else \"none\".",
            &recognize, py::arg("img"));
}

}  // namespace optik
