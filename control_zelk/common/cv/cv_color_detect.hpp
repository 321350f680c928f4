// Colour detection shared by optik.color_detect and optik1.Img: one implementation of the
// colour table, the range picking, the HSV range mask and the largest-blob detection.
// The two classes differ only in the attribute that receives the result text ("data" or
// "color_data") and in where set_hsv takes its picture from.
#pragma once

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

namespace zelk::color {
namespace py = pybind11;

// Sets the colour attributes of `self` for the named colour of the table: result text
// "none" in `result_attr`, bounds (lists and arrays), label, track, counter, running extremes.
void init(py::object self, py::handle name, const char* result_attr);

// Shows `bgr` and its HSV version, lets the user click pixels of the HSV window (getpos of
// `self`), waits for a key, then sets the bounds from the running extremes and prints them.
void pick_range(py::object self, py::handle bgr, py::handle label);

// Mouse callback: records the clicked HSV pixel in the running extremes.
void getpos(py::object self, py::handle event, py::handle x, py::handle y);

// Sets the bounds from the caller's lists (kept as they are) and prints the new range.
void set_range(py::object self, py::handle label, py::handle low, py::handle up);

// Finds the largest patch of the range in `frame` and updates the result attributes.
void detect(py::object self, py::handle frame, const char* result_attr);

// 255 where the BGR pixel's HSV value lies within [lower, upper] (both included), else 0;
// identical to cv2.inRange(cv2.cvtColor(bgr, cv2.COLOR_BGR2HSV), lower, upper).
py::object range_mask(py::handle bgr, py::handle lower, py::handle upper, const char* where);

}  // namespace zelk::color
