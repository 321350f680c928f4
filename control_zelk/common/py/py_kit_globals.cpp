#include "py_kit_globals.hpp"

#include <initializer_list>
#include <utility>

namespace zelk {
namespace {

py::dict labels(std::initializer_list<std::pair<int, const char*>> entries) {
  py::dict d;
  for (const auto& [index, label] : entries) d[py::int_(index)] = py::str(label);
  return d;
}

}  // namespace

void def_kit_globals(py::module_& m) {
  py::object platform = py::module_::import("sys").attr("platform");
  m.attr("system_platform") = platform;
  // Windows classrooms keep the kit next to the program. A plain substring test, so
  // cygwin and darwin choose the relative folder too.
  const int windows = PySequence_Contains(platform.ptr(), py::str("win").ptr());
  if (windows < 0) throw py::error_already_set();
  py::str main_path(windows ? "class/" : "/home/pi/class/");
  m.attr("main_path") = main_path;
  m.attr("picture_path") = main_path + py::str("picture/");
  m.attr("model_path") = main_path + py::str("model/");
  m.attr("d_path") = main_path + py::str("camera_pos/");

  // Class indices 0–11 of the twelve-class model; index 0 carries the digit nine.
  m.attr("items_num") = labels(
      {{0, "9"}, {1, "1"}, {2, "2"}, {3, "3"}, {4, "4"}, {5, "5"}, {6, "6"}, {7, "7"}, {8, "8"}});
  m.attr("items_dir") = labels({{9, "左转"}, {10, "右转"}});
  m.attr("items_label") = labels({{11, "语音"}});
  // Waste-sorting labels for learners' own programs.
  m.attr("items_laji") = labels({{0, "易拉罐"},
                                 {1, "纸团"},
                                 {2, "塑料瓶"},
                                 {3, "电池"},
                                 {4, "报纸"},
                                 {5, "灯泡"},
                                 {6, "花生壳"},
                                 {7, "香蕉皮"}});
}

}  // namespace zelk
