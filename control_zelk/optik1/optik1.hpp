// Pieces shared by the source files of control_zelk.optik1.
//
// Each file contributes its Img methods to a MethodTable; module.cpp attaches them to the
// class in the order learners see in Img.__dict__, whatever file they come from.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "py_function.hpp"

namespace optik1 {
namespace py = pybind11;

using MethodTable = std::map<std::string, py::object>;

// Adds the method `name` of `cls` to the table (see zelk::def for the parameters).
template <typename Func, typename... Params>
void add_method(MethodTable& table, py::handle cls, const char* name, const char* doc, Func f,
                const Params&... params) {
  table[name] = zelk::function(cls, name, doc, std::move(f), params...);
}

void add_basic_methods(py::handle cls, MethodTable& table);    // img_basic.cpp
void add_line_methods(py::handle cls, MethodTable& table);     // img_lines.cpp
void add_contour_methods(py::handle cls, MethodTable& table);  // img_contours.cpp
void add_color_methods(py::handle cls, MethodTable& table);    // img_color.cpp
void add_face_methods(py::handle cls, MethodTable& table);     // img_faces.cpp
void add_code_methods(py::handle cls, MethodTable& table);     // img_codes.cpp
void add_model_methods(py::handle cls, MethodTable& table);    // img_model.cpp

// What Img's Type says about its img.
inline constexpr const char* kColourType = "彩色图";
inline constexpr const char* kGreyType = "灰度图";
inline constexpr const char* kBinaryType = "二值化图";

// pic_read, Assist_converse and Camera (camera.cpp).
void add_pic_read(py::module_& m);
void add_assist_converse(py::module_& m);
void add_camera(py::module_& m);

// f1, f2, f3, main and f4 (demos.cpp).
void add_demos(py::module_& m);

// The image an analysis method works on: `img` unless len(img) == 0, else the object's own.
py::object analysed_image(py::handle self, py::handle img);

// A file name given as str or os.PathLike; anything else raises cv2.error.
std::string file_path(py::handle path, const char* where);

// An OpenCV result as cv2 returns it: the array, or None for an empty result.
py::object result_array(const cv::Mat& m);

// Outer contours of the non-zero regions of `binary` whose area exceeds 2000 pixels, in
// OpenCV's order (what bin_detect returns).
std::vector<std::vector<cv::Point>> large_contours(const cv::Mat& binary);

}  // namespace optik1
