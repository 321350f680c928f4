// Face search and overlays shared by optik.face_detect and optik1.Img: the grey frame handed
// to the learner-visible cv2.CascadeClassifier, the blue face boxes drawn into the caller's
// frame, and the hat and mask pictures blended onto a face by seamless cloning.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "cv_ndarray.hpp"
#include "py_names.hpp"

namespace zelk::faces {
namespace py = pybind11;

// The cascade classifier (a cv2.CascadeClassifier, made through the module's cv2) of the file
// `path` (a str); an unchanged file is parsed once per thread.
py::object classifier(py::handle path);

// cascade.detectMultiScale(grey frame, 2, min_neighbours): the boxes (x, y, w, h) in the
// detector's order, as it returns them (each taken apart by unpack_box() where it is used).
// Errors of the conversion and of the detector propagate.
py::object find(py::handle cascade, py::handle frame, int min_neighbours);

// Whether the detector found any face: len(boxes) > 0.
bool any(py::handle boxes);

// `x > 0 and y > 0`: the box starts off the frame's top and left edges.
bool off_edges(const Box& face);

// Draws the face box (x, y)-(x + w, y + h) in blue into the caller's frame (through
// cv2.rectangle itself for values that are not ints).
void mark(py::handle frame, const Box& face, int thickness);

// An overlay picture and the point of the frame its centre goes to.
struct Overlay {
  cv::Mat picture;
  cv::Point centre;
};

// Reads the colour picture at `path` (empty when it cannot be read).
cv::Mat read_picture(py::handle path);

// The hat: w x h, only its bottom y rows when the face is closer to the top than its height;
// its vertical middle on the top edge of the box.
void prepare_hat(Overlay& o, const cv::Rect& face);

// The mask: w x (4h / 5), centred 70 % down the box.
void prepare_mask(Overlay& o, const cv::Rect& face);

// The picture cloned into `frame` at the centre (mixed seamless cloning, an all-255 mask);
// the frame itself is not changed. Errors (the picture not fitting, ...) propagate.
py::object blend(const Overlay& o, py::handle frame);

// Runs `step` and swallows any error it raises (an exception, not an interruption such as
// KeyboardInterrupt): one face's overlay failing leaves the others alone.
template <typename Step>
void guarded(Step&& step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
}

}  // namespace zelk::faces
