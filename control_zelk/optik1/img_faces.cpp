// Img's faces: the cascade classifier loaded per call (from the per-thread cache), boxes on
// the frame, and the hat and mask overlays switched on by face_cap and face_mask; and the
// skin-smoothing beauty filter.
#include <pybind11/pybind11.h>

#include <opencv2/imgproc.hpp>

#include "beauty_filter.hpp"
#include "cv_faces.hpp"
#include "cv_ndarray.hpp"
#include "py_gil.hpp"
#include "optik1.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik1 {
namespace {

namespace faces = zelk::faces;

bool is_one(py::handle flag) {
  return zelk::eq(flag, py::int_(1));
}

void face_detect(py::object self, py::handle model_name) {
  self.attr("path") =
      zelk::add(zelk::add(zelk::global(ZELK_ID("model_path")), model_name), py::str(".xml"));
  self.attr("cascade") = faces::classifier(self.attr("path"));
  self.attr("color_data") = "no_people";
  self.attr("img_new") = self.attr("img");
  py::object frame = self.attr("img_new");
  const std::vector<cv::Rect> found = faces::find(self.attr("cascade"), frame, 5);
  if (!found.empty()) self.attr("color_data") = "有人";
  for (const cv::Rect& f : found) {
    faces::mark(frame, f, 2);
    if (!(f.x > 0 && f.y > 0)) continue;
    faces::mark(frame, f, 1);
    if (!is_one(self.attr("flag_cap")) && !is_one(self.attr("flag_mask"))) continue;
    faces::guarded([&] {
      faces::Overlay o{faces::read_picture(self.attr("pht")), {}};
      py::object destination = self.attr("img");
      if (is_one(self.attr("flag_cap"))) faces::prepare_hat(o, f);
      // With both flags, the mask step resizes the hat picture already prepared.
      if (is_one(self.attr("flag_mask"))) faces::prepare_mask(o, f);
      zelk::show("output", faces::blend(o, destination), 40);
    });
  }
  zelk::show("face", frame, 40);
}

void overlay(py::object self, py::handle path, zelk::Id flag) {
  self.attr("pht") = zelk::add(zelk::add(zelk::global(ZELK_ID("d_path")), path), py::str(".jpg"));
  if (PyObject_SetAttr(self.ptr(), flag.ptr, py::int_(1).ptr()) != 0) throw py::error_already_set();
  zelk::call_method(self, ZELK_ID("face_detect"), py::str("face"));
}

void beauty_face(py::object self) {
  const zelk::MatView src = zelk::array_view(self.attr("img"), "bilateralFilter");
  cv::Mat dst = zelk::numpy_mat();
  {
    zelk::GilReleased unlocked;
    beauty_filter(src.mat, dst);
  }
  self.attr("img") = zelk::to_array(dst);
}

}  // namespace

void add_face_methods(py::handle cls, MethodTable& table) {
  add_method(table, cls, "face_detect",
             "Finds the faces in img with the cascade model_path + model_name + \".xml\" and "
             "marks them; color_data = \"有人\" or \"no_people\". Pastes the hat or mask once "
             "face_cap or face_mask has switched it on.",
             &face_detect, py::arg("model_name"));
  add_method(
      table, cls, "face_cap",
      "Switches the hat overlay on (flag_cap = 1) with the picture d_path + path + \".jpg\", "
      "then runs face_detect(\"face\").",
      [](py::object self, py::handle path) { overlay(self, path, ZELK_ID("flag_cap")); },
      py::arg("path"));
  add_method(
      table, cls, "face_mask",
      "Switches the face-mask overlay on (flag_mask = 1) with the picture d_path + path + "
      "\".jpg\", then runs face_detect(\"face\").",
      [](py::object self, py::handle path) { overlay(self, path, ZELK_ID("flag_mask")); },
      py::arg("path"));
  add_method(table, cls, "beauty_face",
             "Smooths the skin in img (a bilateral filter with the details added back); img "
             "becomes the filtered frame.",
             &beauty_face);
}

}  // namespace optik1
