"""The type stubs (Drivox_1.pyi, optik.pyi, optik1.pyi and the py.typed marker) installed beside
the native modules describe the modules as they are, so learners' editors show the real
classes, parameters, defaults and result types.

mypy's stubtest compares every class, function, parameter, default and module global with the
imported modules; the checks after it cover what stubtest cannot see (base classes, the
contents of the tables, the library modules bound as globals); mypy --strict on a learner's
program checks that the stubs are usable and that they reject wrong uses.

By hand, with the package installed: python -m mypy.stubtest --mypy-config-file
tests/stubtest_mypy.ini control_zelk.Drivox_1 control_zelk.optik control_zelk.optik1
(from a folder other than the repository, so the source folder control_zelk/ is not taken
for the package).
"""

import ast
import filecmp
import importlib
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import control_zelk
import pytest
from layout import REPO, TESTS

pytest.importorskip("mypy", reason="mypy is not installed; scripts/setup.sh installs it")

SOURCE_STUBS = Path(REPO, "control_zelk", "stubs")
INSTALLED = Path(control_zelk.__file__).resolve().parent
MODULES = ("Drivox_1", "optik", "optik1")
MYPY_CONFIG = Path(TESTS, "stubtest_mypy.ini")


def run_python(args, cwd):
    """Runs the interpreter with args in cwd, seeing the package this test imported and no
    other stubs."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(INSTALLED.parent), env.get("PYTHONPATH")])
    )
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def test_stubs_are_installed_beside_the_modules():
    for name in (*[f"{m}.pyi" for m in MODULES], "py.typed"):
        installed = INSTALLED / name
        assert installed.is_file(), (
            f"{installed} is missing: the stubs are installed with the package "
            "(CMakeLists.txt), reinstall it with scripts/setup.sh"
        )
        assert filecmp.cmp(installed, SOURCE_STUBS / name, shallow=False), (
            f"{installed} differs from control_zelk/stubs/{name}: reinstall the package "
            "with scripts/setup.sh"
        )


def test_stubtest_finds_no_difference(tmp_path):
    result = run_python(
        [
            "-m",
            "mypy.stubtest",
            "--mypy-config-file",
            str(MYPY_CONFIG),
            *[f"control_zelk.{m}" for m in MODULES],
        ],
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def stub_tree(module):
    return ast.parse((INSTALLED / f"{module}.pyi").read_text(encoding="utf-8"))


def is_stub_only(node):
    return any(ast.unparse(d).endswith("type_check_only") for d in node.decorator_list)


@pytest.mark.parametrize("module", MODULES)
def test_classes_have_the_modules_base_classes(module):
    runtime = importlib.import_module(f"control_zelk.{module}")
    classes = [
        n for n in stub_tree(module).body if isinstance(n, ast.ClassDef) and not is_stub_only(n)
    ]
    assert classes
    for node in classes:
        stub_bases = [ast.unparse(b) for b in node.bases]
        runtime_bases = [
            b.__name__ for b in getattr(runtime, node.name).__bases__ if b is not object
        ]
        assert stub_bases == runtime_bases, node.name


def conforms(value, annotation):
    """Whether value has the type written in the stub (the kinds the stubs use for globals)."""
    if isinstance(annotation, ast.Name):
        return type(value) is {"str": str, "int": int}[annotation.id]
    if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "dict":
        key, item = annotation.slice.elts
        return isinstance(value, dict) and all(
            conforms(k, key) and conforms(v, item) for k, v in value.items()
        )
    raise AssertionError(f"no check for module globals of type {ast.unparse(annotation)}")


@pytest.mark.parametrize("module", MODULES)
def test_module_globals_have_the_stubs_types(module):
    # stubtest checks a global's own type, not what a table holds (dict[int, str] for a
    # dict[str, int] passes it).
    runtime = importlib.import_module(f"control_zelk.{module}")
    annotated = [
        n
        for n in stub_tree(module).body
        if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
    ]
    assert annotated
    for node in annotated:
        value = getattr(runtime, node.target.id)
        assert conforms(value, node.annotation), (node.target.id, value)


@pytest.mark.parametrize("module", MODULES)
def test_library_globals_are_the_libraries_the_stubs_name(module):
    # "import X as X", "from P import N as N" and "name = X" (X a plain "import X") re-export.
    runtime = importlib.import_module(f"control_zelk.{module}")
    modules, exported = {}, {}
    for node in stub_tree(module).body:
        if isinstance(node, ast.Import):
            for a in node.names:
                modules[a.asname or a.name] = importlib.import_module(a.name)
                if a.asname == a.name:
                    exported[a.name] = modules[a.name]
        elif isinstance(node, ast.ImportFrom):
            for a in node.names:
                if a.asname == a.name:
                    source = importlib.import_module(node.module)
                    exported[a.name] = getattr(source, a.name, None) or importlib.import_module(
                        f"{node.module}.{a.name}"
                    )
        elif (
            isinstance(node, ast.Assign)
            and isinstance(node.value, ast.Name)
            and node.value.id in modules
        ):
            exported[node.targets[0].id] = modules[node.value.id]
    assert exported
    for name, obj in exported.items():
        assert getattr(runtime, name) is obj, name


LEARNER_PROGRAM = '''
    """Follow a red ball, stop at an obstacle, read QR codes, follow a line."""

    import numpy as np
    import numpy.typing as npt

    from control_zelk import Drivox_1, optik, optik1
    from control_zelk.Drivox_1 import Car, Cur_motor, Line_track, Ste_motor, Ul_sensor, Use_io
    from control_zelk.optik import Camera, color_detect, erweima_recognize, model_recognize
    from control_zelk.optik1 import Img


    def follow(cam: Camera, det: color_detect, car: Car, eye: Ul_sensor) -> None:
        frame = cam.read_camera()
        if frame is None:
            return
        det.detect(frame)
        distance = eye.ul_get()
        if distance is not None and distance < 20:
            car.car_stop()
        elif det.data == "red" and det.x < frame.shape[1] / 2:
            car.car_turn_l(10)
        else:
            car.car_go(30.5)
        if det.pts:
            x, y = det.pts[0]
            print(x + y, det.radius, det.colorLower.tolist())


    def line(frame: npt.NDArray[np.uint8]) -> int:
        img = Img(frame)
        if not img.offset2() or img.dotted_line2():
            return 0
        img.BGR2GRAY()
        img.GRAY2BIN()
        for c in img.bin_detect():
            if img.detect(c, "圆形"):
                cx, cy = img.cnt_center(c)
                img.cnt_draw(c, str(cx + cy))
        area: float = img.cnt_area(img.bin_detect()[0])
        print(area, img.Type, img.img.shape)
        return img.offset_calculate1() + img.line_angle1(img.img) + img.offset_calculate2()


    def main() -> None:
        cam = Camera(0)
        det = color_detect("red")
        det.setcolorvalue("mine", [0, 43, 46], [10, 255, 255])
        car = Car()
        io = Use_io(1)
        level: int | None = io.Io_read()
        io.pwm_use(20, 50)
        Cur_motor(6).Cur_go(cur_speed=50, cur_pulse=40)
        Ste_motor(1).Ste_exe(ste_duty=50)
        Line_track().l_start(l_sp=60)
        clock = Drivox_1.time_count()
        clock.start_count()
        follow(cam, det, car, Ul_sensor(1))
        clock.end_count()
        print(level, clock.total_time + 1.0, Drivox_1.case_dict["Chassis"], io.ios_data)
        reply = car.set_id()
        if reply is not None:
            print(reply.hex(), car.id_list, car.ser.port)
        qr = erweima_recognize()
        model = model_recognize("digits.onnx")
        frame = optik1.Camera().read_camera()
        if frame is not None:
            qr.recognize(frame)
            model.recognize(frame)
            print(qr.data, model.data, optik.items_num[0], np.argmax(model.pro))
            picture = Img(frame)
            picture.resize((320, 240))
            picture.color_detect_init("green")
            picture.color_detect()
            picture.erweima_detect()
            picture.model_recognize()
            print(picture.color_data, picture.er_data, picture.m_data, line(frame))
            picture.show_image("1")
            picture.delay(1)
        print(optik.model_path + "face.xml", optik1.main_path, optik1.items_dir[9])
        print(optik1.np.zeros(3), optik.cv2.COLOR_BGR2GRAY, optik.sys.platform)
        photo = optik1.pic_read("1.png")
        if photo is not None and optik.take_photos(photo, "3", 12):
            print(optik.distortion(photo).shape)
        cam.close_camera()


    main()
'''

# Each line marked "# error: CODE" must get that mypy error, and no other line any.
WRONG_USES = """
    from control_zelk import Drivox_1, optik, optik1

    car = Drivox_1.Car()
    car.car_go("fast")  # error: arg-type
    level: int = Drivox_1.Use_io(1).Io_read()  # error: assignment
    reply: bytes = car.recieveAck()  # error: assignment
    print(Drivox_1.Io_dict[0])  # error: index
    optik.Camera()  # error: call-arg
    det = optik.color_detect(3)  # error: arg-type
    print(det.dataa)  # error: attr-defined
    frame = optik.Camera(0).read_camera()
    print(frame.shape)  # error: union-attr
    img = optik1.Img()
    offset: str = img.offset_calculate2()  # error: assignment
    img.resize(320)  # error: arg-type
    print(img.bin_detect()[0].upper())  # error: attr-defined
    print(optik1.items_num["0"])  # error: index
"""


def mypy_strict(tmp_path, program):
    path = tmp_path / "program.py"
    path.write_text(textwrap.dedent(program), encoding="utf-8")
    result = run_python(
        [
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            path.name,
        ],
        cwd=tmp_path,
    )
    return path, result


def test_learner_program_passes_mypy_strict(tmp_path):
    _, result = mypy_strict(tmp_path, LEARNER_PROGRAM)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_wrong_uses(tmp_path):
    path, result = mypy_strict(tmp_path, WRONG_USES)
    want = {
        (n, m.group(1))
        for n, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        if (m := re.search(r"# error: (\S+)", text))
    }
    found = {
        (int(m.group(1)), m.group(2))
        for m in re.finditer(r"^program\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)
    }
    assert found == want, result.stdout + result.stderr
