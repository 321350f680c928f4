"""Device command layer and learner classes of Drivox_1 against the board simulator:
frames sent, printed output, replies read, per-object state and argument checks."""

import os
import subprocess
import sys

import control_zelk.Drivox_1 as D
import pytest


def frame(hexstr):
    return bytes.fromhex(hexstr)


def args_of(f):
    """Bytes 4..11 of a frame: the four arguments."""
    return f[4:12]


def test_module_tables_and_class_tree():
    assert list(D.case_dict.items()) == [
        ("Other", 0),
        ("Chassis", 1),
        ("Io", 2),
        ("Motor", 3),
        ("Sensor", 4),
        ("Conpound", 5),
    ]
    assert list(D.Io_dict) == ["Digit_in", "Digit_out", "Pwm_out", "Other"]
    assert D.Chassis_dict == {"Spo_chassis": 1, "Other": 2}
    assert D.Motor_dict == {"Cur_motor": 1, "Ste_motor": 2, "Other": 3}
    assert D.Sensor_dict == {"Ul_sensor": 1, "Other": 2}
    assert D.Conpound_dict == {"Line_track": 1, "Other": 2}
    for child, parent in [
        (D.Id, D.MySerial),
        (D.Chassis, D.Id),
        (D.Io, D.Id),
        (D.Motor, D.Id),
        (D.Sensor, D.Id),
        (D.Conpound, D.Id),
        (D.Car, D.Chassis),
        (D.Use_io, D.Io),
        (D.Cur_motor, D.Motor),
        (D.Ste_motor, D.Motor),
        (D.Ul_sensor, D.Sensor),
        (D.Line_track, D.Conpound),
    ]:
        assert child.__bases__ == (parent,)
        assert child.__module__ == "control_zelk.Drivox_1"
    assert D.time_count.__bases__ == (object,)


def test_missing_serial_library_fails_the_import_with_its_own_error():
    code = (
        "import sys; sys.modules['serial'] = None\n"
        "try:\n    import control_zelk.Drivox_1\n"
        "except ImportError as e:\n    print(type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout
    assert out.strip() == "ModuleNotFoundError"


def test_import_opens_no_port():
    code = (
        "import serial\n"
        "def refuse(*a, **k): raise SystemExit('port opened')\n"
        "serial.Serial = refuse\n"
        "import control_zelk.Drivox_1\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


class TestIdAndFamilies:
    def test_id_extends_the_callers_list(self, board, capsys):
        mine = [1, 2]
        dev = D.Id(mine)
        assert dev.id_list is mine and mine == [1, 2, 0, 0, 0, 0]
        assert (dev.name, dev.classes) == (1, 2)
        assert capsys.readouterr().out == "初始化ID\n"

    def test_id_needs_two_elements(self, board):
        with pytest.raises(IndexError):
            D.Id([1])

    def test_chassis_exe_frame_and_output(self, board, capsys):
        car = D.Chassis("Spo_chassis")
        assert car.id_list == [1, 1, 0, 0, 0, 0]
        assert (car.dic, car.type, car.func) == (D.Chassis_dict, 1, 1)
        capsys.readouterr()
        board.clear()
        assert car.Chassis_exe(50) is None
        assert board.frames() == [frame("55 0E 01 01 00 32 00 00 00 00 00 00 00 97")]
        assert capsys.readouterr().out == "[1, 1, 50, 0, 0, 0]\n数据校验正确！\n1\n"

    def test_other_function_code(self, board):
        D.Chassis("Other").Chassis_exe()
        assert board.frames()[-1][2:4] == b"\x01\x02"

    def test_unknown_function_fails_before_opening_a_port(self, monkeypatch):
        import serial

        monkeypatch.setattr(serial, "Serial", lambda *a, **k: pytest.fail("port opened"))
        with pytest.raises(KeyError):
            D.Motor("Stepper")

    def test_default_type_is_fixed_when_the_class_is_made(self, board, monkeypatch):
        monkeypatch.setitem(D.case_dict, "Sensor", 9)
        assert D.Sensor("Ul_sensor").type == 4
        assert D.Sensor("Ul_sensor", 7).id_list[:2] == [7, 1]

    def test_set_id_returns_the_reply_or_none(self, board):
        dev = D.Conpound("Other")
        assert len(dev.set_id()) == 14
        board.inject("badsum")
        assert dev.set_id() is None

    def test_argument_slots_persist(self, board):
        motor = D.Motor("Ste_motor")
        motor.cur_exe(6, 1, 50, 40)
        motor.steer_exe(2, 30)
        # Slots 3 to 5 keep what cur_exe left there.
        assert args_of(board.frames()[-1]) == frame("02 1E 0B B8 00 00 00 28")


class TestIo:
    def test_output_mask(self, board):
        io = D.Io("Digit_out")
        assert [
            io.ouput_io,
            io.pwm_freq,
            io.pwm1_duty,
            io.pwm2_duty,
            io.pwm3_duty,
            io.pwm4_duty,
        ] == [0] * 6
        board.clear()
        io.output(3, 1)
        io.output(1, 1)
        io.output(3, 0)
        io.output(1, 7)  # neither 0 nor 1: mask unchanged, frame sent all the same
        assert [args_of(f)[:2] for f in board.frames()] == [
            b"\x08\x00",
            b"\x0a\x00",
            b"\x02\x00",
            b"\x02\x00",
        ]
        assert io.ouput_io == 2 and io.id_list[2] == 512

    def test_pwm_channels_share_a_frame(self, board):
        io = D.Io("Pwm_out")
        io.pwmOutput(0, 20, 50)
        io.pwmOutput(1, 20, 30)
        io.pwmOutput(2, 25, 7)
        io.pwmOutput(3, 25, 9)
        io.pwmOutput(4, 30, 99)  # no such channel: only the frequency changes
        frames = board.frames()
        assert args_of(frames[1]) == frame("00 14 32 1E 00 00 00 00")
        assert args_of(frames[3]) == frame("00 19 32 1E 07 09 00 00")
        assert args_of(frames[4]) == frame("00 1E 32 1E 07 09 00 00")
        assert (io.pwm1_duty, io.pwm2_duty, io.pwm3_duty, io.pwm4_duty) == (12800, 30, 1792, 9)

    def test_read_inputs(self, board):
        io = D.Io("Digit_in")
        board.set_inputs(0x05)
        assert io.readIos() == 5
        assert (io.readIo(0), io.readIo(1), io.readIo(2)) == (1, 0, 1)
        board.inject("badheader")
        assert io.readIos() is None
        board.inject("badsum")
        assert io.readIo(2) is None

    def test_short_reply_reads_as_no_reply(self, board):
        io = D.Io("Digit_in")
        io.ser.timeout = 0.3  # a short reply makes the read wait for the time-out
        board.inject("short", arg=4)
        assert io.readIos() is None
        board.inject("short", arg=4)
        assert io.readIo(0) is None

    def test_read_after_output_resends_the_mask(self, board):
        io = D.Io("Digit_out")
        io.output(3, 1)
        io.id_list[1] = D.Io_dict["Digit_in"]
        io.readIos()
        assert board.frames()[-1][2:6] == frame("02 01 08 00")


class TestMotorsSensorsTracking:
    def test_cur_exe(self, board):
        m = D.Motor("Cur_motor")
        m.cur_exe(6, 1, 50, 40)
        m.cur_exe(6, 1, -50, 40)
        m.cur_exe(1, 0, 0, 0x12345678)
        f = board.frames()
        assert args_of(f[0]) == frame("06 01 0B B8 00 00 00 28")
        assert args_of(f[1]) == frame("06 01 F4 47 00 00 00 28")
        assert args_of(f[2]) == frame("01 00 00 00 12 34 56 78")
        assert m.id_list[3:] == [0, 0x12345678 / 65536, 0x5678]

    def test_ultrasonic_distance(self, board):
        s = D.Sensor("Ul_sensor")
        board.set_distance(300)
        assert s.ul_getDistance(1) == 300
        assert args_of(board.frames()[-1])[:2] == b"\x01\x00"
        s.ser.timeout = 0.3  # a short reply makes the read wait for the time-out
        board.inject("short", arg=6)  # passes the check, too short for byte 6
        assert s.ul_getDistance(1) is None
        board.inject("badsum")
        assert s.ul_getDistance(1) is None

    def test_line_track(self, board):
        t = D.Conpound("Line_track")
        t.line_track(1, 60)
        t.line_track(1, 0x1234)
        f = board.frames()
        assert args_of(f[0])[:4] == frame("01 00 3C 00")
        assert args_of(f[1])[:4] == frame("01 12 34 00")


class TestLearnerClasses:
    def test_car(self, board, capsys):
        car = D.Car()
        assert car.id_list == [1, 1, 0, 0, 0, 0]
        capsys.readouterr()
        board.clear()
        car.car_turn_l(1)
        assert board.frames()[-1] == frame("55 0E 01 01 00 00 00 00 FF FE 00 00 00 62")
        assert capsys.readouterr().out.startswith("[1, 1, 0, 0, -1, 0]\n")
        car.car_go(30)
        assert board.frames()[-1] == frame("55 0E 01 01 00 1E 00 00 00 00 00 00 00 83")
        moves = {
            "car_back": (-30, 0, 0),
            "car_across_l": (0, 30, 0),
            "car_across_r": (0, -30, 0),
            "car_turn_r": (0, 0, 30),
        }
        for name, speeds in moves.items():
            getattr(car, name)(30)
            assert car.id_list[2:5] == list(speeds)
        car.car_stop()
        assert car.id_list == [1, 1, 0, 0, 0, 0]
        car.car_go()
        assert car.id_list[2] == 0

    def test_use_io(self, board):
        a, b = D.Use_io(1), D.Use_io(3)
        assert a.id_list == [2, 4, 0, 0, 0, 0] and a.io_com == 1
        board.set_inputs(0x05)
        assert a.Ios_read() == 5 and a.ios_data == 5 and not hasattr(a, "io_data")
        assert a.Io_read() == 0 and a.io_data == 0
        board.clear()
        a.Io_write(1)
        b.Io_write(io_level=1)
        a.pwm_use(20, 50)
        f = board.frames()
        assert [x[3] for x in f] == [2, 2, 3]
        # Each object keeps its own mask.
        assert (f[0][4], f[1][4]) == (0x02, 0x08)
        assert args_of(f[2]) == frame("00 14 00 32 00 00 00 00")

    @pytest.mark.parametrize(
        "make, call, message, code",
        [
            (lambda: D.Use_io(8), lambda o: o.Io_read(), "Com is no exit", 1),
            (lambda: D.Use_io(8), lambda o: o.Io_write(1), "Com is no exited", 2),
            (lambda: D.Use_io(4), lambda o: o.pwm_use(20, 50), "PWM_COM should < 4", 3),
            (lambda: D.Use_io(1), lambda o: o.pwm_use(), "PWM_frequency is no inputed", 3),
            (lambda: D.Use_io(1), lambda o: o.pwm_use(20, 101), "PWM_duty should <=100", 3),
            (lambda: D.Ste_motor(0), lambda o: o.Ste_exe(50), "ID is no inputed", None),
            (lambda: D.Ste_motor(1), lambda o: o.Ste_exe(101), "duty should <=100 ", None),
            (lambda: D.Ul_sensor(0), lambda o: o.ul_get(), "ID is no inputed", None),
            (lambda: D.Line_track(), lambda o: o.l_start(), "SPEED is no inputed", None),
        ],
    )
    def test_checks_send_nothing(self, board, make, call, message, code):
        obj = make()
        board.clear()
        with pytest.raises(AssertionError) as err:
            call(obj)
        assert str(err.value) == message
        assert board.frames() == []
        if code is not None:  # the function code was chosen before the check failed
            assert obj.id_list[1] == code

    def test_checks_are_skipped_under_optimisation(self, board):
        code = (
            "from zelk_run.board_link import BoardSim\n"
            "import control_zelk.Drivox_1 as D\n"
            "with BoardSim() as sim, sim.redirect_serial():\n"
            "    D.Use_io(8).Io_read(); D.Ste_motor(0).Ste_exe(500)\n"
            "    print(len(sim.frames()))\n"
        )
        out = subprocess.run(
            [sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True
        ).stdout
        assert out.splitlines()[-1] == "2"

    def test_motors_sensor_tracker(self, board):
        cur = D.Cur_motor(6)
        cur.Cur_go(50, 40)
        cur.Cur_back(50)
        cur.Cur_stop()
        ste = D.Ste_motor(1)
        ste.Ste_exe(50)
        board.set_distance(123)
        assert D.Ul_sensor(1).ul_get() == 123
        line = D.Line_track()
        line.l_start(60)
        line.l_stop()
        f = [x for x in board.frames()]
        assert args_of(f[0]) == frame("06 01 0B B8 00 00 00 28")
        assert args_of(f[1]) == frame("06 01 F4 47 00 00 00 00")
        assert args_of(f[2]) == frame("06 00 00 00 00 00 00 00")
        assert args_of(f[3])[:2] == frame("01 32")
        assert args_of(f[5])[:4] == frame("01 00 3C 00")
        assert args_of(f[6])[:4] == frame("00 00 00 00")

    def test_comparisons_use_the_callers_values(self, board):
        with pytest.raises(TypeError):
            D.Ste_motor(1).Ste_exe("50")
        D.Ste_motor(1).Ste_exe(99.5)  # no conversion to int; the fraction is lost on the wire
        assert args_of(board.frames()[-1])[:2] == b"\x01\x63"

    def test_wrong_argument_counts(self, board):
        with pytest.raises(TypeError):
            D.Car(1)
        with pytest.raises(TypeError):
            D.Use_io()
        with pytest.raises(TypeError):
            D.Car().car_go(1, 2)

    def test_arguments_bind_as_in_python(self, board):
        car = D.Car()
        car.Chassis_exe(speed_h=5, speed_s=1)
        assert car.id_list[2:5] == [1, 0, 5]
        D.Car.car_go(car, car_sp=7)  # through the class, self passed explicitly
        assert car.id_list[2] == 7

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda car: car.Chassis_exe(1, speed_s=2), "multiple values for argument 'speed_s'"),
            (lambda car: car.car_go(speed=3), "unexpected keyword argument 'speed'"),
            (lambda car: car.Chassis_exe(1, 2, 3, 4), "takes from 1 to 4 positional arguments"),
            (lambda car: D.Io.readIo(car), "missing 1 required positional argument: 'bit'"),
            (lambda car: D.Car.car_go(), "missing 1 required positional argument: 'self'"),
        ],
    )
    def test_argument_errors(self, board, call, message):
        with pytest.raises(TypeError, match=message):
            call(D.Car())

    def test_learner_subclass(self, board):
        sent = []

        class MyCar(D.Car):
            def forward(self):
                self.car_go(10)

            def sendCmd(self, *args):  # the library's own calls go through overrides
                sent.append(args)
                D.MySerial.sendCmd(self, *args)

        MyCar().forward()
        assert args_of(board.frames()[-1])[:2] == b"\x00\x0a"
        assert sent == [(1, 1, 10, 0, 0, 0)]


def test_time_count(monkeypatch):
    import time

    t = D.time_count()
    assert (t.start_time, t.end_time, t.total_time) == (0, 0, 0)
    clock = iter([100.0, 102.5])
    monkeypatch.setattr(time, "time", lambda: next(clock))
    t.start_count()
    assert t.end_count() is None
    assert (t.start_time, t.end_time, t.total_time) == (100.0, 102.5, 2.5)


class TestMain:
    def test_other_numbers_print_1_and_touch_nothing(self, monkeypatch, capsys):
        import serial

        monkeypatch.setattr(serial, "Serial", lambda *a, **k: pytest.fail("port opened"))
        assert D.main(9) is None
        assert D.main("0") is None
        assert capsys.readouterr().out == "1\n1\n"
        with pytest.raises(TypeError):
            D.main()

    def test_demos_against_the_board(self, board, capsys):
        board.set_inputs(0x02)
        board.set_distance(42)
        D.main(1)
        out = capsys.readouterr().out
        assert "data1: 1\n" in out and "data2: 2\n" in out
        D.main(4)
        assert capsys.readouterr().out.endswith("数据校验正确！\n42\n")
        board.clear()
        D.main(0)
        D.main(2)
        D.main(3)
        f = board.frames()
        assert f[0] == frame("55 0E 01 01 00 00 00 00 FF FE 00 00 00 62")
        assert args_of(f[1]) == frame("06 01 0B B8 00 00 00 28")
        assert args_of(f[2])[:2] == frame("01 32")


@pytest.mark.skipif(os.path.exists("/dev/ttyAMA0"), reason="a real board is attached")
def test_failed_constructor_leaves_no_noise():
    code = (
        "import control_zelk.Drivox_1 as D\n"
        "try:\n    D.Car()\nexcept Exception as e:\n    print(type(e).__name__)\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.stdout.strip() == "SerialException"
    assert r.stderr == ""
