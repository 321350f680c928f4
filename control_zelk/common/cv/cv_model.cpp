#include "cv_model.hpp"

#include <pybind11/numpy.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

#include "cv_ndarray.hpp"
#include "py_file_cache.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_text.hpp"

namespace zelk::model {
namespace {

constexpr int kSide = 224;

// The NumPy steps written out: an array of doubles / 255, transposed to channels first, per-channel
// (c - 0.5) / 0.5, a leading batch axis.
py::object numpy_tensor(py::object frame, bool resize, bool centred) {
  py::object np = global(ZELK_ID("np"));
  if (resize)
    frame =
        call_method(global(ZELK_ID("cv2")), ZELK_ID("resize"), frame, py::make_tuple(kSide, kSide));
  py::object t =
      truediv(call_method(np, ZELK_ID("array"), ZELK_KW("dtype"), frame, np.attr("float64")),
              py::int_(255));
  t = call_method(t, ZELK_ID("transpose"), py::make_tuple(2, 0, 1));
  if (centred) t = truediv(sub(t, py::float_(0.5)), py::float_(0.5));
  return t[py::make_tuple(py::none(), py::ellipsis())];
}

// Whether `obj` is a NumPy array of this dtype kind ('f': floating point) and at most this
// item size.
bool is_array_of(py::handle obj, char kind, py::ssize_t max_itemsize) {
  if (!py::isinstance<py::array>(obj)) return false;
  const py::dtype dt = py::reinterpret_borrow<py::array>(obj).dtype();
  return dt.kind() == kind && dt.itemsize() <= max_itemsize;
}

// e = np.exp(s - np.max(s)); e / np.sum(e)
py::object numpy_softmax(py::handle scores) {
  py::object np = global(ZELK_ID("np"));
  py::object e =
      call_method(np, ZELK_ID("exp"), sub(scores, call_method(np, ZELK_ID("max"), scores)));
  return truediv(e, call_method(np, ZELK_ID("sum"), e));
}

// The label of class `index` from the item tables; an empty object past them.
py::object table_label(Py_ssize_t index) {
  const py::int_ key(index);
  if (index >= 0 && index <= 8) return global(ZELK_ID("items_num"))[key];
  if (index == 9 || index == 10) return global(ZELK_ID("items_dir"))[key];
  if (index == 11) return global(ZELK_ID("items_label"))[key];
  return py::object();
}

// if np.max(pro) > 0.9: the table label of np.argmax(pro), else "none".
py::object label_of(py::handle pro) {
  py::object np = global(ZELK_ID("np"));
  if (!gt(call_method(np, ZELK_ID("max"), pro), py::float_(0.9))) return py::str("none");
  py::object best = steal_or_throw(PyNumber_Index(call_method(np, ZELK_ID("argmax"), pro).ptr()));
  const Py_ssize_t index = PyLong_AsSsize_t(best.ptr());
  if (index == -1 && PyErr_Occurred()) throw py::error_already_set();
  return table_label(index);
}

}  // namespace

py::object load(py::handle path) {
  check_encodable(path);
  return load_cached(ZELK_ID("onnx"), path, [&] {
    try {
      return call_method(global(ZELK_ID("cv2")).attr("dnn"), ZELK_ID("readNetFromONNX"), path);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_Exception))
        add_note(e.value(),
                 "The network file could not be read. The kit's sign model is installed by: "
                 "python3 -m control_zelk.kit install; models of your own go into model_path.");
      throw;
    }
  });
}

py::object tensor(py::handle frame, bool resize, bool centred) {
  auto obj = py::reinterpret_borrow<py::object>(frame);
  const bool bgr8 = py::isinstance<py::array>(obj) &&
                    py::reinterpret_borrow<py::array>(obj).ndim() == 3 &&
                    py::reinterpret_borrow<py::array>(obj).shape(2) == 3 &&
                    depth_of(py::reinterpret_borrow<py::array>(obj).dtype()) == CV_8U;
  if (!bgr8) return numpy_tensor(obj, resize, centred);
  const MatView v = array_view(obj, "resize");
  cv::Mat src = v.mat;
  const int rows = resize ? kSide : src.rows, cols = resize ? kSide : src.cols;
  py::array_t<float> out({py::ssize_t{1}, py::ssize_t{3}, py::ssize_t{rows}, py::ssize_t{cols}});
  float* planes = out.mutable_data();
  {
    py::gil_scoped_release unlocked;
    if (resize) cv::resize(v.mat, src, cv::Size(kSide, kSide));
    // One pass: scale and move each channel to its own plane.
    const float scale = centred ? 2.f / 255.f : 1.f / 255.f, offset = centred ? -1.f : 0.f;
    const std::size_t plane = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (int y = 0; y < rows; ++y) {
      const uchar* p = src.ptr<uchar>(y);
      float* b = planes + static_cast<std::size_t>(y) * static_cast<std::size_t>(cols);
      for (int x = 0; x < cols; ++x, p += 3) {
        b[x] = p[0] * scale + offset;
        b[x + plane] = p[1] * scale + offset;
        b[x + 2 * plane] = p[2] * scale + offset;
      }
    }
  }
  return out;
}

py::object probabilities(py::handle net, py::handle tensor) {
  call_method(net, ZELK_ID("setInput"), tensor);
  py::object raw = call_method(net, ZELK_ID("forward"));
  py::object squeezed = call_method(global(ZELK_ID("np")), ZELK_ID("squeeze"), raw);
  // A network gives float32 scores. Anything else (a model object of the learner's own)
  // goes through the NumPy steps themselves, with their results and errors.
  if (!is_array_of(squeezed, 'f', 4)) return numpy_softmax(squeezed);
  auto scores = py::array_t < float, py::array::c_style | py::array::forcecast > ::ensure(squeezed);
  if (!scores) throw py::error_already_set();
  py::array_t<float> pro(std::vector<py::ssize_t>(scores.shape(), scores.shape() + scores.ndim()));
  const float* s = scores.data();
  float* p = pro.mutable_data();
  const auto n = static_cast<std::size_t>(scores.size());
  if (n > 0) {
    // Softmax with the largest score subtracted, so that exp() cannot overflow.
    float top = s[0];
    for (std::size_t i = 1; i < n; ++i) top = std::max(top, s[i]);
    double sum = 0;
    std::vector<double> e(n);
    for (std::size_t i = 0; i < n; ++i) sum += e[i] = std::exp(double{s[i]} - double{top});
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<float>(e[i] / sum);
  }
  return pro;
}

py::object label(py::handle pro) {
  // Probabilities as this module stores them are read directly. Anything else a learner's
  // code left in pro (a list, text, integers ...) takes the NumPy steps themselves.
  if (!is_array_of(pro, 'f', 8)) return label_of(pro);
  auto p = py::array_t < double, py::array::c_style | py::array::forcecast > ::ensure(pro);
  if (!p) throw py::error_already_set();
  // No class at all: NumPy's own error for the maximum of nothing.
  if (p.size() == 0) call_method(global(ZELK_ID("np")), ZELK_ID("max"), pro);
  const double* v = p.data();
  std::size_t best = 0;
  for (std::size_t i = 1; i < static_cast<std::size_t>(p.size()); ++i)
    if (v[i] > v[best]) best = i;
  if (!(v[best] > 0.9)) return py::str("none");
  return table_label(static_cast<Py_ssize_t>(best));
}

}  // namespace zelk::model
