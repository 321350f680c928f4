#include "optik.hpp"

#include "cv_ndarray.hpp"
#include "py_gil.hpp"
#include "py_function.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"
#include "py_text.hpp"

#include <opencv2/imgcodecs.hpp>

#include <string>

namespace optik {
namespace {

// Saves a training picture as class/camera_test/<class_num_dir>/<name>.jpg (relative to the
// working directory, whatever the platform). The directory must exist: a failed write is
// reported by the result only.
py::object take_photos(py::handle img, py::handle class_num_dir, py::handle name) {
  py::object filename = py::str("class/camera_test/") + class_num_dir + py::str("/") +
                        py::str(name) + py::str(".jpg");
  const zelk::MatView picture = zelk::array_view(img, "imwrite");
  const std::string path = zelk::utf8(filename);
  bool written;
  {
    zelk::GilReleased unlocked;
    written = cv::imwrite(path, picture.mat);
  }
  if (!written) return py::none();
  zelk::print(py::make_tuple("图片成功保存到路径：", filename));
  return py::bool_(true);
}

}  // namespace

void def_take_photos(py::module_& m) {
  zelk::def(m, "take_photos",
            "Saves img as class/camera_test/<class_num_dir>/<name>.jpg; returns True and prints "
            "the path when written, else None.",
            &take_photos, py::arg("img"), py::arg("class_num_dir"), py::arg("name"));
}

}  // namespace optik
