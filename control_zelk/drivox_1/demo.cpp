// main(num): one short demonstration per device, chosen by number.
#include "drivox.hpp"
#include "py_function.hpp"
#include "py_ops.hpp"
#include "py_print.hpp"

namespace drivox {
namespace {

void demo_main(py::object num) {
  auto is = [&](int n) { return zelk::eq(num, py::int_(n)); };
  if (is(0)) {
    py::object car = zelk::global(ZELK_ID("Car"))();
    car.attr("car_turn_l")(1);
  } else if (is(1)) {
    py::object io1 = zelk::global(ZELK_ID("Use_io"))(1);
    py::object data1 = io1.attr("Io_read")();
    py::object data2 = io1.attr("Ios_read")();
    zelk::print("data1:", data1);
    zelk::print("data2:", data2);
    io1.attr("Io_write")(py::arg("io_level") = 1);
    io1.attr("pwm_use")(py::arg("pwm_freq") = 20, py::arg("pwm_duty") = 50);
  } else if (is(2)) {
    py::object mottor1 = zelk::global(ZELK_ID("Cur_motor"))(6);
    mottor1.attr("Cur_go")(py::arg("cur_speed") = 50, py::arg("cur_pulse") = 40);
  } else if (is(3)) {
    py::object motor2 = zelk::global(ZELK_ID("Ste_motor"))(1);
    motor2.attr("Ste_exe")(py::arg("ste_duty") = 50);
  } else if (is(4)) {
    py::object ul1 = zelk::global(ZELK_ID("Ul_sensor"))(1);
    zelk::print(ul1.attr("ul_get")());
  } else if (is(5)) {
    py::object line1 = zelk::global(ZELK_ID("Line_track"))();
    line1.attr("l_start")(py::arg("l_sp") = 60);
    zelk::call_method(zelk::global(ZELK_ID("time")), ZELK_ID("sleep"), py::int_(4));
    line1.attr("l_stop")();
  } else {
    zelk::print("1");
  }
}

}  // namespace

void add_demo(py::module_& m) {
  zelk::def(m, "main",
            "Demonstrates one device: 0 car, 1 IO and PWM, 2 DC motor, 3 servo, 4 ultrasonic, "
            "5 line tracking; any other number prints 1.",
            &demo_main, py::arg("num"));
}

}  // namespace drivox
