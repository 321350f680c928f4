// Img's recognition: an ONNX network in model, class probabilities in pro, the label in
// m_data.
#include <pybind11/pybind11.h>

#include "cv_model.hpp"
#include "optik1.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik1 {
namespace {

namespace model = zelk::model;

void model_(py::object self, py::handle model_name) {
  self.attr("model") = model::load(zelk::add(zelk::global(ZELK_ID("model_path")), model_name));
  self.attr("item") = zelk::call_method(model_name, ZELK_ID("split"), py::str("."))[py::int_(0)];
  self.attr("pro") = 0;
  self.attr("m_data") = "none";
}

// A network this object already holds is used as it is: only the default one is loaded, and
// only when there is none.
void onnx_detect_new(py::object self, py::handle img) {
  if (py::hasattr(self, "model")) {
    self.attr("pro") = 0;
    self.attr("m_data") = "none";
  } else {
    zelk::call_method(self, ZELK_ID("model_"));
  }
  self.attr("pro") = model::probabilities(self.attr("model"), model::tensor(img, false, false));
}

void model_recognize(py::object self) {
  py::object frame = zelk::call_method(zelk::global(ZELK_ID("cv2")), ZELK_ID("resize"),
                                       self.attr("img"), py::make_tuple(224, 224));
  zelk::call_method(self, ZELK_ID("onnx_detect_new"), frame);
  py::object label = model::label(self.attr("pro"));
  if (label) self.attr("m_data") = label;
}

}  // namespace

void add_model_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "model_",
             "Reads the network model_path + model_name into model; item = the name up to its "
             "first \".\", pro = 0, m_data = \"none\".",
             &model_, py::arg("model_name") = "qmt4082.proto");
  add_method(table, cls, "onnx_detect_new",
             "Runs the network on img as it is (values pixel / 255) and stores the class "
             "probabilities in pro; loads the default model first when there is none.",
             &onnx_detect_new, py::arg("img"));
  add_method(table, cls, "model_recognize",
             "Classifies img (resized to 224x224): m_data = the label of a class more probable "
             "than 0.9, else \"none\".",
             &model_recognize);
}

}  // namespace optik1
