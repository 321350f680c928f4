#include "cv_faces.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "cv_ndarray.hpp"
#include "py_file_cache.hpp"
#include "py_ops.hpp"
#include "py_text.hpp"

namespace zelk::faces {

py::object classifier(py::handle path) {
  check_encodable(path);
  return load_cached(ZELK_ID("cascade"), path, [&] {
    return call_method(global(ZELK_ID("cv2")), ZELK_ID("CascadeClassifier"), path);
  });
}

py::object find(py::handle cascade, py::handle frame, int min_neighbours) {
  const py::array grey = grey_of(frame);
  try {
    return call_method(cascade, ZELK_ID("detectMultiScale"), grey, py::int_(2),
                       py::int_(min_neighbours));
  } catch (py::error_already_set& e) {
    // OpenCV's error for an empty classifier says nothing of the file that was missing.
    if (e.matches(PyExc_Exception) && truthy(call_method(cascade, ZELK_ID("empty"))))
      add_note(e.value(),
               "The cascade classifier is empty: its file (model_path + name + \".xml\") is "
               "missing or unreadable. Install the kit with: python3 -m control_zelk.kit "
               "install");
    throw;
  }
}

bool any(py::handle boxes) {
  return py::len(boxes) > 0;
}

bool off_edges(const Box& face) {
  if (face.ints) return face.rect.x > 0 && face.rect.y > 0;
  return gt(face.xywh[0], py::int_(0)) && gt(face.xywh[1], py::int_(0));
}

void mark(py::handle frame, const Box& face, int thickness) {
  if (!face.ints) {
    const auto& [x, y, w, h] = face.xywh;
    call_method(global(ZELK_ID("cv2")), ZELK_ID("rectangle"), frame, py::make_tuple(x, y),
                py::make_tuple(add(x, w), add(y, h)), py::make_tuple(255, 0, 0),
                py::int_(thickness));
    return;
  }
  MatView v = array_view(frame, "rectangle", true);
  cv::rectangle(v.mat, face.rect.tl(), face.rect.br(), cv::Scalar(255, 0, 0), thickness);
}

cv::Mat read_picture(py::handle path) {
  const std::string file = utf8(path);
  py::gil_scoped_release unlocked;
  return cv::imread(file);
}

void prepare_hat(Overlay& o, const cv::Rect& face) {
  cv::resize(o.picture, o.picture, cv::Size(face.width, face.height));
  if (face.y < face.height)
    o.picture = o.picture(cv::Range(face.height - face.y, face.height), cv::Range(0, face.width));
  o.centre = cv::Point(face.x + face.width / 2, face.y);
}

void prepare_mask(Overlay& o, const cv::Rect& face) {
  cv::resize(o.picture, o.picture, cv::Size(face.width, face.height * 4 / 5));
  o.centre = cv::Point(face.x + face.width / 2, face.y + face.height * 7 / 10);
}

py::object blend(const Overlay& o, py::handle frame) {
  const MatView destination = array_view(frame, "seamlessClone");
  // OpenCV's cloning aborts the process on other kinds of pictures instead of failing.
  if (destination.mat.type() != CV_8UC3 || o.picture.type() != CV_8UC3)
    CV_Error(cv::Error::StsUnsupportedFormat, "seamlessClone: 8-bit BGR pictures only");
  cv::Mat output = numpy_mat();
  {
    py::gil_scoped_release unlocked;
    const cv::Mat mask(o.picture.size(), o.picture.type(), cv::Scalar::all(255));
    cv::seamlessClone(o.picture, destination.mat, mask, o.centre, output, cv::MIXED_CLONE);
  }
  return to_array(output);
}

}  // namespace zelk::faces
