#include "cv_ndarray.hpp"

#include "py_errors.hpp"
#include "py_ops.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zelk {
namespace {

// cv2.error, looked up once and kept for the life of the process: errors raised by cv2's
// own functions are of this class, whatever a learner rebinds the module's `cv2` to.
PyObject* cv2_error() {
  static PyObject* const err = py::object(py::module_::import("cv2").attr("error")).release().ptr();
  return err;
}

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

bool native_order(const py::dtype& dt) {
  const char order = dt.byteorder();
  return order == '=' || order == '|' || order == (kLittleEndian ? '<' : '>');
}

py::dtype dtype_of(int depth) {
  switch (depth) {
    case CV_8U:
      return py::dtype("uint8");
    case CV_8S:
      return py::dtype("int8");
    case CV_16U:
      return py::dtype("uint16");
    case CV_16S:
      return py::dtype("int16");
    case CV_32S:
      return py::dtype("int32");
    case CV_32F:
      return py::dtype("float32");
    case CV_64F:
      return py::dtype("float64");
    default:
      raise_cv_error("cannot return an array of OpenCV depth " + std::to_string(depth));
  }
}

// Allocates the buffers of output Mats as NumPy arrays, so results reach Python uncopied.
class NumpyAllocator final : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    if (data != nullptr)
      return cv::Mat::getDefaultAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    py::gil_scoped_acquire gil;
    const int cn = CV_MAT_CN(type);
    std::vector<py::ssize_t> shape(sizes, sizes + dims);
    if (cn > 1) shape.push_back(cn);
    py::array a(dtype_of(CV_MAT_DEPTH(type)), shape);
    for (int i = 0; i < dims - 1; ++i) step[i] = static_cast<size_t>(a.strides(i));
    step[dims - 1] = CV_ELEM_SIZE(type);
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = static_cast<uchar*>(a.mutable_data());
    u->size = static_cast<size_t>(a.nbytes());
    u->userdata = a.release().ptr();
    return u;
  }
  bool allocate(cv::UMatData*, cv::AccessFlag, cv::UMatUsageFlags) const override { return false; }
  void deallocate(cv::UMatData* u) const override {
    if (u == nullptr || u->refcount != 0) return;
    py::gil_scoped_acquire gil;
    Py_XDECREF(static_cast<PyObject*>(u->userdata));
    delete u;
  }
};

NumpyAllocator& numpy_allocator() {
  static NumpyAllocator allocator;
  return allocator;
}

[[noreturn]] void raise_bad_array(const char* where, const std::string& what, py::handle obj) {
  raise_cv_error(std::string(where) + ": " + what + ", got " + describe(obj));
}

// Whether a Mat can address an array of this shape: OpenCV counts rows and entries per row
// (columns × channels) in int.
bool fits_mat(const py::array& a) {
  const py::ssize_t cn = a.ndim() == 3 ? a.shape(2) : 1;
  return a.shape(0) <= INT_MAX && cn >= 1 && cn <= CV_CN_MAX && a.shape(1) <= INT_MAX / cn;
}

// Builds the Mat header; false when the layout is not addressable without a copy.
bool header_over(const py::array& a, int depth, cv::Mat* out) {
  if (a.size() == 0) {  // NumPy gives empty arrays strides of 0: nothing to check
    *out = cv::Mat();
    return true;
  }
  const auto ndim = a.ndim();
  const py::ssize_t itemsize = a.itemsize();
  const py::ssize_t cn = ndim == 3 ? a.shape(2) : 1;
  const py::ssize_t pixel = itemsize * cn;
  if (ndim == 3 && a.shape(2) > 1 && a.strides(2) != itemsize) return false;
  if (a.shape(1) > 1 && a.strides(1) != pixel) return false;
  py::ssize_t row_step = a.strides(0);
  if (a.shape(0) <= 1) row_step = pixel * a.shape(1);
  if (row_step < pixel * a.shape(1) || row_step % itemsize != 0) return false;
  const int rows = static_cast<int>(a.shape(0));
  const int cols = static_cast<int>(a.shape(1));
  *out = cv::Mat(rows, cols, CV_MAKETYPE(depth, static_cast<int>(cn)), const_cast<void*>(a.data()),
                 static_cast<size_t>(row_step));
  return true;
}

// NumPy type numbers of the C types cv2 tells apart, by their one-letter codes.
struct TypeNumbers {
  int byte = py::dtype("b").num(), ubyte = py::dtype("B").num(), short_ = py::dtype("h").num(),
      ushort = py::dtype("H").num(), int_ = py::dtype("i").num(), float_ = py::dtype("f").num(),
      double_ = py::dtype("d").num(), long_ = py::dtype("l").num(),
      int64 = py::dtype("int64").num(), uint64 = py::dtype("uint64").num();
};

const TypeNumbers& type_numbers() {
  static const TypeNumbers numbers;
  return numbers;
}

}  // namespace

int depth_of(const py::dtype& dt) {
  if (!native_order(dt)) return -1;
  const TypeNumbers& n = type_numbers();
  const int num = dt.num();
  if (num == n.byte) return CV_8S;
  if (num == n.ubyte) return CV_8U;
  if (num == n.short_) return CV_16S;
  if (num == n.ushort) return CV_16U;
  if (num == n.int_) return CV_32S;
  if (num == n.float_) return CV_32F;
  if (num == n.double_) return CV_64F;
  return -1;
}

bool read_as_int32(const py::dtype& dt) {
  // cv2 tells dtypes apart by NumPy type number: long and the int64/uint64 aliases are cast
  // to int32, while e.g. longlong, of the same size on 64-bit Linux, is refused.
  const TypeNumbers& n = type_numbers();
  const int num = dt.num();
  return native_order(dt) && (num == n.long_ || num == n.int64 || num == n.uint64);
}

py::array as_cv2_reads(const py::array& a) {
  if (read_as_int32(a.dtype())) return a.attr("astype")("int32");
  return a;
}

void raise_cv_error(const std::string& message) {
  PyErr_SetString(cv2_error(), message.c_str());
  throw py::error_already_set();
}

void register_cv_error_translator() {
  cv2_error();
  add_exception_translator([](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const cv::Exception& err) {
      PyErr_SetString(cv2_error(), err.what());
      return true;
    } catch (...) {
      return false;
    }
  });
}

std::pair<py::object, py::object> centroid(const cv::Moments& m) {
  if (m.m00 == 0) raise_float_division_by_zero();
  const auto truncated = [](double v) {
    PyObject* i = PyLong_FromDouble(v);
    if (i == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(i);
  };
  return {truncated(m.m10 / m.m00), truncated(m.m01 / m.m00)};
}

bool c_int(py::handle value, int* out) {
  static PyObject* const numpy_integer =
      py::object(py::module_::import("numpy").attr("integer")).release().ptr();
  PyObject* v = value.ptr();
  py::object index;
  if (PyLong_Check(v) && !PyBool_Check(v)) {
    index = py::reinterpret_borrow<py::object>(v);
  } else {
    const int is_integer = PyObject_IsInstance(v, numpy_integer);
    if (is_integer < 0) throw py::error_already_set();
    if (is_integer == 0) return false;
    index = steal_or_throw(PyNumber_Index(v));
  }
  int overflow = 0;
  const long n = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || n < INT_MIN || n > INT_MAX) return false;
  *out = static_cast<int>(n);
  return true;
}

Box unpack_box(py::handle box) {
  Box b;
  b.xywh = unpack<4>(box);
  int v[4];
  b.ints = c_int(b.xywh[0], &v[0]) && c_int(b.xywh[1], &v[1]) && c_int(b.xywh[2], &v[2]) &&
           c_int(b.xywh[3], &v[3]);
  // The far corner (x + w, y + h) must be an int too, as cv2 takes it.
  const auto fits = [](long long a) { return a >= INT_MIN && a <= INT_MAX; };
  b.ints = b.ints && fits(static_cast<long long>(v[0]) + v[2]) &&
           fits(static_cast<long long>(v[1]) + v[3]);
  if (b.ints) b.rect = cv::Rect(v[0], v[1], v[2], v[3]);
  return b;
}

std::string describe(py::handle obj) {
  if (obj.is_none()) return "None";
  if (!py::isinstance<py::array>(obj))
    return std::string(py::str(py::type::handle_of(obj).attr("__name__")));
  auto a = py::reinterpret_borrow<py::array>(obj);
  return "array of shape " + std::string(py::str(obj.attr("shape"))) + " and dtype " +
         std::string(py::str(a.dtype()));
}

MatView array_view(py::handle obj, const char* where, bool writable) {
  if (!py::isinstance<py::array>(obj)) raise_bad_array(where, "expected a numpy array", obj);
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (writable && !a.writeable()) raise_bad_array(where, "the array is read-only", obj);
  // As cv2 does for inputs: 64-bit integers are read as int32, a 1-D array as one column.
  if (!writable) a = as_cv2_reads(a);
  if (a.ndim() == 1) a = a.attr("reshape")(a.shape(0), 1);
  const int depth = depth_of(a.dtype());
  if (depth < 0) raise_bad_array(where, "unsupported dtype (use uint8 … float64)", obj);
  if (a.ndim() != 2 && a.ndim() != 3) raise_bad_array(where, "expected a 2-D or 3-D array", obj);
  if (a.size() > 0 && !fits_mat(a))
    raise_bad_array(where, "too large for cv::Mat (rows, columns × channels)", obj);
  MatView v{a, cv::Mat()};
  if (header_over(a, depth, &v.mat)) return v;
  if (writable)
    raise_bad_array(where,
                    "the layout of the array is incompatible with cv::Mat (pixels and "
                    "channels must be contiguous)",
                    obj);
  // Inputs with an unusual layout (e.g. img[:, ::-1]) are used through a compact copy.
  v.array = py::module_::import("numpy").attr("ascontiguousarray")(a);
  header_over(v.array, depth, &v.mat);
  return v;
}

MatView image_view(py::handle obj, const char* where, ImageKind kind) {
  const char* want = kind.channels == 3   ? "expected an H×W×3 uint8 (BGR) image"
                     : kind.channels == 1 ? "expected an H×W uint8 (grey) image"
                                          : "expected a uint8 image";
  if (!py::isinstance<py::array>(obj)) raise_bad_array(where, want, obj);
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (depth_of(a.dtype()) != CV_8U) raise_bad_array(where, want, obj);
  const py::ssize_t cn = a.ndim() == 3 ? a.shape(2) : a.ndim() == 2 ? 1 : -1;
  if (cn < 0 || (kind.channels != 0 && cn != kind.channels)) raise_bad_array(where, want, obj);
  return array_view(obj, where, kind.writable);
}

cv::Mat numpy_mat() {
  cv::Mat m;
  m.allocator = &numpy_allocator();
  return m;
}

py::array to_array(const cv::Mat& m) {
  if (m.empty()) {  // no buffer to hand over, and a copy would be empty again: endless recursion
    return py::array(dtype_of(m.depth()),
                     std::vector<py::ssize_t>{std::max(m.rows, 0), std::max(m.cols, 0)});
  }
  const bool whole = m.u != nullptr && m.u->currAllocator == &numpy_allocator() &&
                     m.data == m.u->data && m.isContinuous() &&
                     m.total() * m.elemSize() == m.u->size;
  if (!whole) {
    // Copied into an array made here, not through the allocator: should OpenCV fall back to
    // its own allocator (it does when ours raises), the copy would never be NumPy-backed.
    std::vector<py::ssize_t> shape{m.rows, m.cols};
    if (m.channels() > 1) shape.push_back(m.channels());
    py::array out(dtype_of(m.depth()), shape);
    m.copyTo(cv::Mat(m.rows, m.cols, m.type(), out.mutable_data()));
    return out;
  }
  auto a = py::reinterpret_borrow<py::array>(static_cast<PyObject*>(m.u->userdata));
  if (a.ndim() == 3 && a.shape(2) == 1) return a.attr("reshape")(a.shape(0), a.shape(1));
  return a;
}

py::array grey_of(py::handle frame) {
  const MatView colour = array_view(frame, "cvtColor");
  cv::Mat grey = numpy_mat();
  {
    py::gil_scoped_release unlocked;
    cv::cvtColor(colour.mat, grey, cv::COLOR_BGR2GRAY);
  }
  return to_array(grey);
}

void show(const char* window, py::handle image, int wait_ms) {
  py::object cv2 = global(ZELK_ID("cv2"));
  call_method(cv2, ZELK_ID("imshow"), py::str(window), image);
  call_method(cv2, ZELK_ID("waitKey"), py::int_(wait_ms));
}

py::object region(py::handle img, const cv::Rect& r) {
  py::slice rows(r.y, r.y + r.height, 1);
  py::slice cols(r.x, r.x + r.width, 1);
  return img[py::make_tuple(rows, cols)];
}

py::array points_to_array(const std::vector<cv::Point>& points) {
  py::array_t<int32_t> a({static_cast<py::ssize_t>(points.size()), py::ssize_t{1}, py::ssize_t{2}});
  if (!points.empty())
    std::memcpy(a.mutable_data(), points.data(), points.size() * sizeof(cv::Point));
  return a;
}

py::list contours_to_list(const std::vector<std::vector<cv::Point>>& contours) {
  py::list out(contours.size());
  for (size_t i = 0; i < contours.size(); ++i) out[i] = points_to_array(contours[i]);
  return out;
}

MatView contour_view(py::handle obj, const char* where) {
  const char* want = "expected a contour (int32 or float32 array of points, N×1×2 or N×2)";
  if (!py::isinstance<py::array>(obj)) raise_bad_array(where, want, obj);
  auto a = py::reinterpret_borrow<py::array>(obj);
  // np.array of Python ints gives int64 points; cv2 reads them as int32.
  a = as_cv2_reads(a);
  const int depth = depth_of(a.dtype());
  if (depth != CV_32S && depth != CV_32F) raise_bad_array(where, want, obj);
  const bool shape_ok = (a.ndim() == 2 && a.shape(1) == 2) ||
                        (a.ndim() == 3 && a.shape(2) == 2 && (a.shape(1) == 1 || a.shape(0) == 1));
  if (!shape_ok || a.size() / 2 > INT_MAX) raise_bad_array(where, want, obj);
  py::array c = py::module_::import("numpy").attr("ascontiguousarray")(a);
  const int n = static_cast<int>(c.size() / 2);
  // Also for no points: OpenCV takes an empty point list with a buffer as 0 points, as
  // cv2 passes it, but one without a buffer as no point list at all.
  return MatView{c, cv::Mat(n, 1, CV_MAKETYPE(depth, 2), const_cast<void*>(c.data()))};
}

}  // namespace zelk
