// face_detect: faces found by a cascade classifier, marked on the caller's frame and shown;
// cap and mask blend a hat or a face-mask picture onto each face.
#include "optik.hpp"

#include "cv_faces.hpp"
#include "cv_ndarray.hpp"
#include "py_class.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"

namespace optik {
namespace {

namespace faces = zelk::faces;

void init(py::object self, py::handle model_name) {
  self.attr("path") =
      zelk::add(zelk::add(zelk::global(ZELK_ID("model_path")), model_name), py::str(".xml"));
  self.attr("cascade") = faces::classifier(self.attr("path"));
  self.attr("data") = "no_people";
}

void detect(py::object self, py::handle img) {
  self.attr("data") = "no_people";
  self.attr("img_new") = img;
  py::object found = faces::find(self.attr("cascade"), img, 5);
  if (faces::any(found)) self.attr("data") = "有人";
  for (py::handle box : found) faces::mark(img, zelk::unpack_box(box), 2);
  zelk::show("face", self.attr("img_new"), 40);
}

enum class Kind { kHat, kMask };

// cap and mask: boxes and overlays only for faces off the frame's top and left edges.
void paste(py::object self, py::handle img, py::handle path, Kind kind) {
  self.attr("pht") = zelk::add(zelk::add(zelk::global(ZELK_ID("d_path")), path), py::str(".jpg"));
  self.attr("img_new") = img;
  py::object found = faces::find(self.attr("cascade"), img, kind == Kind::kHat ? 5 : 3);
  if (faces::any(found)) self.attr("data") = "有人";
  for (py::handle box : found) {
    const zelk::Box face = zelk::unpack_box(box);
    if (!faces::off_edges(face)) continue;
    faces::mark(img, face, kind == Kind::kHat ? 1 : 2);
    // Sizes that are not ints fail in cv2's resize: like any error of the overlay steps,
    // that only abandons this face.
    if (!face.ints) continue;
    faces::guarded([&] {
      faces::Overlay o{faces::read_picture(self.attr("pht")), {}};
      if (kind == Kind::kHat)
        faces::prepare_hat(o, face.rect);
      else
        faces::prepare_mask(o, face.rect);
      zelk::show("output", faces::blend(o, img), 40);
    });
  }
  zelk::show("face", self.attr("img_new"), 40);
}

}  // namespace

void def_face_detect(py::module_& m) {
  py::object cls = zelk::make_class(
      m, "face_detect", "Finds faces with a cascade classifier; pastes a hat or a face mask.",
      py::make_tuple(m.attr("Camera")));
  zelk::def(cls, "__init__",
            "Loads the cascade model_path + model_name + \".xml\" into cascade; data = "
            "\"no_people\".",
            &init, py::arg("model_name"));
  zelk::def(cls, "detect",
            "Marks every face on img (blue, thickness 2) and shows it in \"face\"; data = "
            "\"有人\" when there is a face, else \"no_people\".",
            &detect, py::arg("img"));
  zelk::def(
      cls, "cap",
      "Marks the faces on img and blends the picture d_path + path + \".jpg\" as a hat above "
      "each (window \"output\"), then shows \"face\".",
      [](py::object self, py::handle img, py::handle path) { paste(self, img, path, Kind::kHat); },
      py::arg("img"), py::arg("path"));
  zelk::def(
      cls, "mask",
      "Marks the faces on img and blends the picture d_path + path + \".jpg\" over the lower "
      "part of each (window \"output\"), then shows \"face\".",
      [](py::object self, py::handle img, py::handle path) { paste(self, img, path, Kind::kMask); },
      py::arg("img"), py::arg("path"));
}

}  // namespace optik
