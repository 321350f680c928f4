// Face search and overlays shared by optik.face_detect and optik1.Img: the grey frame handed
// to the learner-visible cv2.CascadeClassifier, the blue face boxes drawn into the caller's
// frame, and the hat and mask pictures blended onto a face by seamless cloning.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <vector>

#include "py_names.hpp"

namespace zelk::faces {
namespace py = pybind11;

// The cascade classifier (a cv2.CascadeClassifier, made through the module's cv2) of the file
// `path` (a str); an unchanged file is parsed once per thread.
py::object classifier(py::handle path);

// cascade.detectMultiScale(grey frame, 2, min_neighbours), as (x, y, w, h) boxes in the
// detector's order. Errors of the conversion and of the detector propagate.
std::vector<cv::Rect> find(py::handle cascade, py::handle frame, int min_neighbours);

// Draws the face box (x, y)-(x + w, y + h) in blue into the caller's frame.
void mark(py::handle frame, const cv::Rect& face, int thickness);

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
