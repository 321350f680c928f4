// The demonstrations: line following, circles on the camera image and on a picture file,
// recognition with red-colour detection, and the beauty filter. Each is a plain sequence of
// the module's own calls; Camera, Img and pic_read are looked up when the demonstration runs,
// so a replacement of them is used. Every camera pass ends with a 1 ms key wait, without
// which the window system would never draw the windows, and a check for Ctrl-C.
#include <pybind11/pybind11.h>

#include "optik1.hpp"
#include "py_names.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"

namespace optik1 {
namespace {

py::object cv2() {
  return zelk::global(ZELK_ID("cv2"));
}

py::object new_camera() {
  return zelk::call(zelk::global(ZELK_ID("Camera")), py::int_(0));
}

// Img(camera.read_camera())
py::object frame_of(py::handle camera) {
  return zelk::call(zelk::global(ZELK_ID("Img")),
                    zelk::call_method(camera, ZELK_ID("read_camera")));
}

void end_of_pass() {
  zelk::call_method(cv2(), ZELK_ID("waitKey"), py::int_(1));
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

py::object now() {
  return zelk::call_method(zelk::global(ZELK_ID("time")), ZELK_ID("time"));
}

void show(py::handle img, const char* window) {
  zelk::call_method(img, ZELK_ID("name_windows"), py::str(window));
  zelk::call_method(img, ZELK_ID("show_image"), py::str(window));
}

[[noreturn]] void f1() {
  py::object a = new_camera();
  for (;;) {
    py::object start_time = now();
    py::object img = frame_of(a);
    zelk::call_method(img, ZELK_ID("name_windows"), py::str("1"));
    if (zelk::truthy(zelk::call_method(img, ZELK_ID("offset2")))) {
      if (zelk::truthy(zelk::call_method(img, ZELK_ID("dotted_line2")))) {
        zelk::print(ZELK_ID("这是虚线"));
      } else {
        py::object d = zelk::call_method(img, ZELK_ID("offset_calculate2"));
        zelk::print(zelk::add(py::str("线路偏移量:"), py::str(d)));
        py::object e = zelk::call_method(img, ZELK_ID("line_angle2"));
        zelk::print(zelk::add(py::str("线路角度:"), py::str(e)));
      }
    } else {
      zelk::print(ZELK_ID("未识别到线路"));
    }
    zelk::call_method(img, ZELK_ID("show_image"), py::str("1"));
    py::object times_re = zelk::sub(now(), start_time);
    zelk::print(py::make_tuple("time:", times_re));
    end_of_pass();
  }
}

// The circles of `img` (binarised first) drawn on `canvas` with `label`.
void draw_circles(py::handle img, py::handle canvas, const char* label) {
  zelk::call_method(img, ZELK_ID("BGR2GRAY"));
  zelk::call_method(img, ZELK_ID("GRAY2BIN"));
  py::object cnts = zelk::call_method(img, ZELK_ID("bin_detect"));
  for (py::handle c : cnts)
    if (zelk::truthy(zelk::call_method(img, ZELK_ID("detect"), c, py::str("圆形"))))
      zelk::call_method(canvas, ZELK_ID("cnt_draw"), c, py::str(label));
}

[[noreturn]] void f2() {
  py::object a = new_camera();
  for (;;) {
    py::object img = frame_of(a);
    py::object img1 = frame_of(a);
    zelk::call_method(img, ZELK_ID("name_windows"), py::str("1"));
    zelk::call_method(img1, ZELK_ID("name_windows"), py::str("2"));
    draw_circles(img, img1, "1");
    zelk::call_method(img, ZELK_ID("show_image"), py::str("1"));
    zelk::call_method(img1, ZELK_ID("show_image"), py::str("2"));
    end_of_pass();
  }
}

void f3() {
  py::object pic_read = zelk::global(ZELK_ID("pic_read")), make = zelk::global(ZELK_ID("Img"));
  py::object img = zelk::call(make, zelk::call(pic_read, py::str("1.png")));
  py::object img1 = zelk::call(make, zelk::call(pic_read, py::str("1.png")));
  zelk::call_method(img, ZELK_ID("BGR2GRAY"));
  zelk::call_method(img, ZELK_ID("GRAY2BIN"));
  zelk::call_method(img1, ZELK_ID("name_windows"), py::str("1"));
  py::object cnts = zelk::call_method(img, ZELK_ID("bin_detect"));
  for (py::handle c : cnts)
    if (zelk::truthy(zelk::call_method(img, ZELK_ID("detect"), c, py::str("圆形"))))
      zelk::call_method(img1, ZELK_ID("cnt_draw"), c, py::str("circle"));
  zelk::call_method(img1, ZELK_ID("show_image"), py::str("1"));
}

[[noreturn]] void demo_main() {
  py::object a = new_camera();
  for (;;) {
    py::object img = frame_of(a);
    zelk::call_method(img, ZELK_ID("model_recognize"));
    zelk::call_method(img, ZELK_ID("color_detect_init"), py::str("red"));
    zelk::call_method(img, ZELK_ID("color_detect"));
    py::object new_img = zelk::call(zelk::global(ZELK_ID("Img")), img.attr("img_new"));
    show(new_img, "22");
    zelk::print(img.attr("m_data"));
    zelk::print(img.attr("color_data"));
    end_of_pass();
  }
}

[[noreturn]] void f4() {
  py::object a = new_camera();
  for (;;) {
    py::object img = frame_of(a);
    show(img, "1");
    zelk::call_method(img, ZELK_ID("beauty_face"));
    show(img, "2");
    zelk::call_method(img, ZELK_ID("delay"), py::int_(1));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace

void add_demos(py::module_& m) {
  zelk::def(m, "f1",
            "Line following on camera 0: prints the line's offset and angle, or that it is "
            "dotted or missing, and the time of each pass; window \"1\". Runs until Ctrl-C.",
            &f1);
  zelk::def(m, "f2",
            "Circles on camera 0: found in one frame (window \"1\", binary), drawn on the next "
            "(window \"2\"). Runs until Ctrl-C.",
            &f2);
  zelk::def(m, "f3",
            "Circles in the picture 1.png of the working folder, marked \"circle\" in window "
            "\"1\".",
            &f3);
  zelk::def(m, "main",
            "Recognition and red on camera 0: prints m_data and color_data of each frame and "
            "shows the red region in window \"22\". Runs until Ctrl-C.",
            &demo_main);
  zelk::def(m, "f4",
            "The beauty filter on camera 0: the frame in window \"1\", filtered in \"2\". Runs "
            "until Ctrl-C.",
            &f4);
}

}  // namespace optik1
