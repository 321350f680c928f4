"""Hostile calls on control_zelk: every class, method and function of its three modules, and
every type found on them, called with hostile arguments, receivers and module globals.

tests/test_hostile_inputs.py runs this file as a child interpreter; by hand it replays calls:

    .venv/bin/python tests/hostile_calls.py --seed 7 --first 412 --count 1 --verbose

Call i of seed s is made from (s, i) alone, so any call replays by itself. Each call picks its
target round-robin over the surface (found in the modules themselves, so a new method is
covered without editing this file), then, seeded:

- the receiver of a method: a fresh instance; one of a subclass whose other methods return
  junk or leave junk in the object's attributes; one with attributes (those the type stubs
  declare, and the instance's own) deleted or set to junk; a bare T.__new__(T); no instance
  of the class at all;
- each argument: a plausible value for its parameter name, or a hostile one (wrong types,
  dtypes, shapes and layouts of arrays, None, NaN, huge ints, lone surrogates, bytes, objects
  whose protocol methods raise or lie, objects whose every method returns junk);
- sometimes a module global (cv2, np, a class, a table, print...) deleted, set to junk, or
  made a proxy whose attributes turn to junk now and then.

Every call must return or raise an ordinary exception: a subclass of Exception other than
SystemError, without pybind11's internal texts. Outcomes go to --progress-fd as JSON lines:
{"call": i, "target": ..., "what": ...} before the call, {"done": i, "fault": ...} after it.
A crash or a hang thus shows as a "call" line without its "done" (faulthandler prints the
stack on stderr; a hang ends the process after --hang-seconds).

Nothing reaches the real world: serial.Serial is a fake port on "/dev/ttyAMA0" (the board's
replies are seeded: valid, missing or garbled), camera 0 is a still picture and no other
camera opens, windows go through window_capture.capture_windows(show=False), time.sleep
returns at once, files are written in a scratch working directory, and the process may not
map more than a few GiB.
"""

import argparse
import ast
import copy
import decimal
import faulthandler
import fractions
import gc
import glob
import inspect
import io
import json
import math
import os
import pickle
import random
import re
import resource
import signal
import sys
import tempfile
import time
import traceback
import types
import warnings
import weakref

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import control_zelk  # noqa: E402
import control_zelk.Drivox_1 as Drivox_1  # noqa: E402
import cv2  # noqa: E402
import numpy as np  # noqa: E402
import serial  # noqa: E402
from control_zelk import optik, optik1  # noqa: E402

MODULES = (Drivox_1, optik, optik1)
BOARD_PORT = "/dev/ttyAMA0"
MEMORY_LIMIT = 3 << 30  # bytes of address space: a huge allocation fails instead of swapping

# Texts of errors that come from the binding layer, not from Python, NumPy or cv2.
BINDING_TEXT = re.compile(
    r"Unable to cast|Unable to convert|error_already_set|Internal error|pybind11|"
    r"is not an instance of '|incompatible function arguments|Exception escaped|"
    r"std::|basic_string|vector::|_M_"
)


class JunkError(Exception):
    """What junk methods raise."""


class HarnessStop(BaseException):
    """Ctrl-C of this harness: ends a demonstration that runs until interrupted."""


# ---------------------------------------------------------------------------------------------
# Hostile values


class Junk:
    """Every attribute is a method returning a seeded junk value (or raising JunkError);
    calling, indexing and iterating it give junk too. Stands in for a cascade, a network, a
    camera, a port, a module..."""

    def __init__(self, seed):
        self._seed, self._uses = seed, 0

    def _junk(self, name):
        self._uses += 1
        return junk_result(random.Random(f"{self._seed}:{name}:{self._uses}"), name)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *args, **kwargs: self._junk(name)

    def __call__(self, *args, **kwargs):
        return self._junk("__call__")

    def __getitem__(self, key):
        return self._junk("__getitem__")

    def __iter__(self):
        return iter([self._junk("__iter__") for _ in range(self._uses % 3)])

    def __repr__(self):
        return f"Junk({self._seed})"


class Proxy:
    """A real object (a module, a cascade, a network, a port) whose attributes turn to junk
    now and then: each look-up is, seeded, the real attribute or a Junk."""

    def __init__(self, real, seed):
        object.__setattr__(self, "_real", real)
        object.__setattr__(self, "_rng", random.Random(seed))

    def __getattr__(self, name):
        if self._rng.random() < 0.2:
            return Junk(self._rng.getrandbits(32))
        return getattr(self._real, name)

    def __setattr__(self, name, value):
        setattr(self._real, name, value)

    def __repr__(self):
        return f"Proxy({self._real!r})"


def _raise(*args):
    raise JunkError("protocol method")


def liar(name, **methods):
    """An object whose protocol methods (given by name) misbehave."""
    return type(name, (), {**methods, "__repr__": lambda self: name + "()"})()


LIARS = [
    lambda: liar("BadIndex", __index__=_raise),
    lambda: liar("HugeIndex", __index__=lambda self: 2**100),
    lambda: liar(
        "BadCompare",
        __hash__=object.__hash__,
        **dict.fromkeys(
            ["__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__bool__"], _raise
        ),
    ),
    lambda: liar(
        "LyingLength", __len__=lambda self: 3, __getitem__=_raise, __str__=_raise, __bool__=_raise
    ),
    lambda: liar("BadPath", __fspath__=lambda self: 42),
    lambda: types.SimpleNamespace(shape=("a", None), dtype="uint8"),  # a shape that is none
]


class TextSub(str):
    """A str that equals nothing and hashes as its text."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class ArraySub(np.ndarray):
    """An ndarray subclass that keeps its class through slicing and arithmetic."""


SCALARS = [
    None,
    True,
    False,
    0,
    -1,
    1,
    7,
    255,
    256,
    65535,
    65536,
    2**31 - 1,
    2**31,
    -(2**31) - 1,
    2**63 - 1,
    2**63,
    2**64,
    -(2**64),
    2**100,
    -(2**100),
    0.5,
    -0.0,
    math.nan,
    math.inf,
    -math.inf,
    1e308,
    1e-320,
    complex(1, -1),
    fractions.Fraction(1, 3),
    decimal.Decimal("NaN"),
    np.int64(-1),
    np.uint64(2**64 - 1),
    np.float32("nan"),
    np.bool_(True),
    np.float16(65504),
    np.int8(-128),
    "",
    "green",
    "red",
    "mine",
    "face",
    "hat",
    "qmt4082.proto",
    "x.png",
    "\ud800",
    "a\x00b",
    "\udcff.png",
    "圆形",
    "none",
    "x" * 5000,
    TextSub("img"),
    b"",
    b"\x55\x0e",
    b"green",
    bytearray(b"abc"),
    memoryview(b"abcd"),
    Ellipsis,
    NotImplemented,
    slice(1, 2),
]


def hostile_array(rng):
    dtype = rng.choice(
        ["uint8"] * 6
        + [
            "int8",
            "uint16",
            "int16",
            "int32",
            "int64",
            "uint64",
            "float16",
            "float32",
            "float64",
            "complex64",
            "bool",
            "object",
            "<U3",
            ">u2",
            ">f4",
            ">i4",
            "V3",
            "u1,f4",
            "M8[s]",
        ]
    )
    shape = rng.choice(
        [
            (),
            (0,),
            (3,),
            (0, 0),
            (1, 1),
            (1, 1, 3),
            (2, 3),
            (5, 5),
            (5, 5, 1),
            (5, 5, 2),
            (5, 5, 3),
            (5, 5, 4),
            (7, 9, 3),
            (4, 4, 3, 2),
            (1, 0, 3),
            (0, 3, 3),
            (3, 0),
            (1, 12),
            (12, 1),
            (40, 60, 3),
            (60, 40),
            (2, 1, 2),
            (6, 1, 2),
            (1, 6, 2),
            (6, 2),
            (1, 600, 3),
        ]
    )
    gen = np.random.default_rng(rng.getrandbits(32))
    fill = rng.choice(["zeros", "random", "high", "nan", "checker"])
    base = np.zeros(shape, np.float64)
    if fill == "random":
        base = gen.integers(0, 256, shape).astype(np.float64)
    elif fill == "high":
        base = np.full(shape, 1e30)
    elif fill == "nan":
        base = np.full(shape, np.nan)
    elif fill == "checker" and len(shape) >= 2:
        base = np.indices(shape).sum(axis=0) % 2 * 255.0
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        if dtype == "object":
            a = np.empty(shape, object)
            a.flat = [rng.choice([0, 255, None, "a", 1.5, 2**70]) for _ in range(a.size)]
        else:
            a = base.astype(dtype)
    layout = rng.choice(
        ["c"] * 3
        + [
            "fortran",
            "strided",
            "reversed",
            "readonly",
            "broadcast",
            "unaligned",
            "subclass",
            "transposed",
        ]
    )
    if layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "strided" and a.ndim >= 2:
        a = np.repeat(a, 2, axis=1)[:, ::2]
    elif layout == "reversed" and a.ndim >= 1:
        a = a[::-1, ::-1] if a.ndim >= 2 else a[::-1]
    elif layout == "readonly":
        a.setflags(write=False)
    elif layout == "broadcast" and a.ndim >= 1 and a.shape[0] > 0:
        a = np.broadcast_to(a[:1], a.shape)
    elif layout == "unaligned" and a.dtype != object and a.itemsize > 1:
        buffer = np.zeros(a.nbytes + 1, np.uint8)[1:]
        a = np.frombuffer(buffer, a.dtype, count=a.size).reshape(a.shape)
    elif layout == "subclass":
        a = a.view(ArraySub)
    elif layout == "transposed" and a.ndim >= 2:
        a = a.swapaxes(0, 1)
    return a


def hostile(rng, depth=0):
    """One hostile value."""
    kind = rng.random()
    if kind < 0.45:
        if kind >= 0.4:
            return np.array(rng.choice(SCALARS[1:30]))
        value = rng.choice(SCALARS)
        return bytearray(value) if isinstance(value, bytearray) else value
    if kind < 0.75:
        return hostile_array(rng)
    if kind < 0.85 and depth < 2:
        n = rng.choice([0, 1, 2, 3, 4])
        items = [hostile(rng, depth + 1) for _ in range(n)]
        return rng.choice([list, tuple])(items)
    return rng.choice(
        LIARS
        + [
            lambda: Junk(rng.getrandbits(32)),
            object,
            lambda: {"a": 1},
            lambda: {1, 2},
            lambda: iter([1, 2, 3]),
            lambda: len,
            lambda: type,
            lambda: [[1, 2], [3, 4]],
            lambda: [math.nan] * 3,
            lambda: (2**70, -1),
            lambda: range(3),
            lambda: [0, 0, 0],
        ]
    )()


# What a junk method returns instead of the kind the library expects of a method of that name.
NEAR_MISSES = {
    "read": lambda r: r.choice(
        [
            (True, hostile_array(r)),
            (False, None),
            (True, None),
            (1, "frame"),
            (True,),
            (True, np.zeros((8, 8, 3), np.uint8), 3),
            None,
            b"\x55\x0e",
            b"",
        ]
    ),
    "detectMultiScale": lambda r: r.choice(
        [
            [(1.5, 2, 3, 4)],
            np.array([[10, 10, 2**40, 5]]),
            [("a", "b", "c", "d")],
            np.full((1, 4), np.nan, np.float32),
            [[-5, -5, 10, 10]],
            [(1, 2, 3)],
            np.array([[40, 40, 48, 48]], np.int32),
            [[2**31, 0, 1, 1]],
            [5],
            [None],
            np.array([[2, 2, 30, 30]], np.int64),
            np.zeros((0, 4), np.int32),
        ]
    ),
    "forward": lambda r: r.choice(
        [
            np.array("text"),
            np.zeros((1, 0), np.float32),
            np.full((1, 12), np.nan, np.float32),
            np.eye(1, 13, 12, dtype=np.float32) * 50,
            np.full((1, 12), 1e30),
            ["a", "b"],
            np.array([[None] * 12], object),
            np.zeros((1, 12), np.complex64),
            7,
            None,
            np.eye(1, 12, 3, dtype=np.float64) * 40,
        ]
    ),
    "decode": lambda r: [
        types.SimpleNamespace(  # pyzbar's symbols
            rect=r.choice([(1, 2, 3, 4), (1.5, 2, 3, 4), (2**40, 0, 1, 1), "abcd", None, (1, 2)]),
            data=r.choice([b"ok", "text", b"\xff\xfe", 5, None, bytearray(b"x")]),
        )
        for _ in range(r.randint(0, 2))
    ],
    "isOpen": lambda r: r.choice([True, False, LIARS[2]()]),
    "empty": lambda r: r.choice([True, False, LIARS[2]()]),
}


def junk_result(rng, name):
    if rng.random() < 0.1:
        raise JunkError(name)
    if name in NEAR_MISSES and rng.random() < 0.85:
        return NEAR_MISSES[name](rng)
    return hostile(rng, depth=1)


def show(value, depth=0):
    """A short description of a value, for the call's line."""
    if isinstance(value, np.ndarray):
        f = value.flags
        flags = [
            name
            for name, on in [
                ("F", f.f_contiguous and not f.c_contiguous),
                ("strided", not (f.c_contiguous or f.f_contiguous)),
                ("readonly", not f.writeable),
                ("unaligned", not f.aligned),
            ]
            if on
        ]
        noted = "".join(", " + n for n in flags)
        return f"{type(value).__name__}({value.shape}, {value.dtype.str}{noted})"
    if isinstance(value, dict) and depth < 2:
        return "{" + ", ".join(f"{k!r}: {show(v, depth + 1)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)) and depth < 2:
        inner = ", ".join(show(v, depth + 1) for v in value[:6])
        more = ", ..." if len(value) > 6 else ""
        return f"[{inner}{more}]" if isinstance(value, list) else f"({inner}{more})"
    text = (
        repr(value)
        if not isinstance(value, (str, bytes)) or len(value) < 60
        else (f"{type(value).__name__} of length {len(value)}")
    )
    return text if len(text) < 120 else text[:100] + "..."


# ---------------------------------------------------------------------------------------------
# Plausible values, by parameter name: calls with mostly valid arguments get deep.


class Assets:
    """Frames, contours and names made once per process."""

    def __init__(self):
        import vision_assets as va

        from zelk_run.camera_stand_in import track_frame

        track = cv2.resize(track_frame(10, 40), (160, 120))
        ball = np.full((120, 160, 3), 200, np.uint8)
        cv2.circle(ball, (80, 60), 30, (40, 170, 40), -1)
        qr = va.qr_frames()
        self.frames = {
            "track": track,
            "ball": ball,
            "bars": va.bar_frame([(60, 40, "v")], 160, 200),
            "qr": qr["two Chinese characters"],
            "noise": np.random.default_rng(1).integers(0, 256, (48, 64, 3), np.uint8),
        }
        binary = cv2.threshold(
            cv2.cvtColor(track, cv2.COLOR_BGR2GRAY), 100, 255, cv2.THRESH_BINARY
        )[1]
        dots = np.full((240, 160), 255, np.uint8)
        for y in (10, 90, 170):
            dots[y : y + 60, 60:120] = 0
        self.binaries = {"line": binary, "dots": dots, "dots inverted": 255 - dots}
        shapes = np.zeros((200, 300), np.uint8)
        cv2.circle(shapes, (50, 50), 40, 255, -1)
        cv2.rectangle(shapes, (110, 10), (190, 90), 255, -1)
        cv2.fillPoly(shapes, [np.array([[220, 90], [290, 90], [255, 10]], np.int32)], 255)
        cv2.rectangle(shapes, (20, 120), (280, 180), 255, -1)
        self.contours = list(
            cv2.findContours(shapes, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[0]
        )
        self.greys = {"qr": cv2.cvtColor(qr["two Chinese characters"], cv2.COLOR_BGR2GRAY)}


NUMBERS = {  # board arguments: speeds, channels, ids
    **dict.fromkeys(
        [
            "speed_s",
            "speed_l",
            "speed_h",
            "car_sp",
            "speed",
            "l_sp",
            "cur_speed",
            "duty",
            "pwm",
            "pwm_duty",
            "ste_duty",
            "freq",
            "pwm_freq",
            "arg1",
            "arg2",
            "arg3",
            "arg4",
        ],
        [30, 0, -30, 50, 20, 100],
    ),
    **dict.fromkeys(
        [
            "bit",
            "iocom",
            "pwmcom",
            "io_com",
            "id",
            "motor_id",
            "ste_id",
            "ul_id",
            "sensorID",
            "start",
            "mode",
            "level",
            "io_level",
            "cmd_type",
            "cmd_id",
        ],
        [0, 1, 2, 3],
    ),
    **dict.fromkeys(["pulse", "cur_pulse"], [0, 40, 70000]),
}
LOWS, UPS = (
    [[35, 43, 46], [156, 43, 46], [0, 0, 0]],
    [[77, 255, 255], [10, 255, 255], [180, 255, 46]],
)
VALID_FRAME = bytes([0x55, 0x0E, 1, 1, 0, 30, 0, 0, 0, 0, 0, 0, 0, 0x93])


def plausible(rng, assets, qualname, name):
    """A valid value for parameter `name` of `qualname`, or MISSING when there is none."""
    owner = qualname.split(".")[0]
    frames, binaries = assets.frames, assets.binaries
    if name in ("img", "frame", "bgr", "image"):
        if qualname.startswith("Img.") and qualname.endswith("1") or qualname == "Img.bin_detect":
            return rng.choice(list(binaries.values())).copy()
        if name == "image":
            return rng.choice([assets.greys["qr"], frames["qr"], frames["noise"]]).copy()
        return rng.choice(list(frames.values())).copy()
    if name in ("c", "cnt"):
        return rng.choice(assets.contours).copy()
    if name in NUMBERS:
        return rng.choice(NUMBERS[name])
    table = {
        "color": ["green", "red", "blue", "mine"],
        "Shape": ["圆形", "三角形", "正方形", "长方形"],
        "shape": ["circle", "圆形"],
        "color_list_low": LOWS,
        "color_list_up": UPS,
        "lower_hsv": LOWS,
        "upper_hsv": UPS,
        "lower": [np.array(v) for v in LOWS],
        "upper": [np.array(v) for v in UPS],
        "windows_name": ["w"],
        "time": [1, 0],
        "newsize": [(32, 24), [8, 6]],
        "y": [-1, 3],
        "event": [cv2.EVENT_LBUTTONDOWN, cv2.EVENT_MOUSEMOVE],
        "x": [1, 5],
        "flags": [0],
        "param": [None],
        "device": [BOARD_PORT],
        "baud": [115200],
        "sendmsg": [VALID_FRAME],
        "count": [14, 3],
        "msg": [VALID_FRAME, list(VALID_FRAME), b"\x55\x01\x56"],
        "c_type": [1, 2, 3, 4, 5],
        "index": [0],
        "class_num_dir": ["0"],
        "name": ["w", 3],
    }
    if name in table:
        value = rng.choice(table[name])
        return copy.copy(value) if not isinstance(value, np.ndarray) else value.copy()
    if name == "model_name":
        return "face" if "face" in qualname else rng.choice(["qmt4082.proto", "five.onnx"])
    if name == "path":
        return {"Img.write_image": "out.png", "pic_read": "1.png"}.get(qualname) or rng.choice(
            ["hat", "mask"]
        )
    if name == "num":
        return rng.randint(0, 6) if qualname == "main" else 0
    if name == "id_list":
        return [1, 1]
    if name == "c_function":
        table = getattr(Drivox_1, owner + "_dict", None) or Drivox_1.Chassis_dict
        return rng.choice(sorted(table))
    if name == "cam":
        return CAMERA_ZERO
    return MISSING


MISSING = object()
CAMERA_ZERO = object()  # made into cv2.VideoCapture(0) when the call runs


# ---------------------------------------------------------------------------------------------
# The world the calls run in


class FakePort:
    """serial.Serial on the board's port: opens nothing, keeps what is written, and answers
    each read with a seeded reply: the valid reply to the last frame, nothing (a time-out),
    a short, garbled or overlong one."""

    replies = random.Random(0)  # reseeded for each call

    def __init__(self, port, baudrate, timeout):
        self.port, self.baudrate, self.timeout, self.write_timeout = port, baudrate, timeout, None
        self.is_open, self.written = True, []

    def isOpen(self):
        return self.is_open

    def open(self):
        self.is_open = True

    def close(self):
        self.is_open = False

    def _check_open(self):
        if not self.is_open:
            raise serial.PortNotOpenError()

    def write(self, data):
        self._check_open()
        data = serial.serialutil.to_bytes(data)
        self.written.append(data)
        return len(data)

    def read(self, size=1):
        self._check_open()
        last = self.written[-1] if self.written else VALID_FRAME
        reply = bytearray(last[:14].ljust(14, b"\0"))
        reply[4:7] = bytes([5, 0, 42])
        reply[13] = sum(reply[:13]) % 256
        kind = self.replies.random()
        if kind < 0.1:
            reply = b""
        elif kind < 0.2:
            reply = reply[: self.replies.randint(1, 13)]
        elif kind < 0.3:
            reply[13] ^= 1
        elif kind < 0.35:
            reply = bytes(self.replies.getrandbits(8) for _ in range(self.replies.randint(14, 40)))
        return bytes(reply)[:size]

    def flushInput(self):
        self._check_open()

    reset_input_buffer = flushInput


def open_port(port=None, baudrate=9600, *args, timeout=None, **kwargs):
    """serial.Serial as the modules call it. Settings are checked by a real, never opened,
    serial.Serial (its own errors); only the board's port opens, and that to a FakePort."""
    check = REAL_SERIAL()
    check.baudrate, check.timeout, check.port = baudrate, timeout, port
    if port == BOARD_PORT:
        return FakePort(port, baudrate, timeout)
    if port is None:
        return check
    raise serial.SerialException(2, f"could not open port {port}: no such port in this test")


REAL_SERIAL = serial.Serial


class Cameras:
    """cv2.VideoCapture: camera 0 is a still picture (chosen for each call); any other source
    gives a capture that never opens (no device or file is touched)."""

    picture = None

    def __init__(self, real):
        self.real = real

    def __call__(self, *args, **kwargs):
        from zelk_run.camera_stand_in import CameraStandIn, StillPicture, is_camera_zero

        if is_camera_zero(args, kwargs):
            return CameraStandIn(lambda: StillPicture(Cameras.picture))
        return self.real()


def prepare(workdir, assets):
    """The scratch folder (the working directory), the kit, the files some functions read,
    and the stand-ins for the port, the cameras, the windows and sleeping."""
    import vision_assets as va

    from zelk_run.window_capture import capture_windows

    os.chdir(workdir)
    kit = va.make_kit(os.path.join(workdir, "kit"), cascade=va.BARS_CASCADE, models=va.kit_models())
    va.write_cascade(kit + "model/frontal.xml", va.FRONTAL_FACE)
    for module in (optik, optik1):
        module.model_path, module.d_path = kit + "model/", kit + "camera_pos/"
    os.makedirs("class/camera_test/0", exist_ok=True)
    cv2.imwrite("1.png", assets.frames["ball"])
    np.savez("calibrate.npz", **CALIBRATION)
    serial.Serial = open_port
    cv2.VideoCapture = Cameras(cv2.VideoCapture)
    real_sleep = time.sleep
    time.sleep = lambda s: real_sleep(0 if isinstance(s, (int, float)) and s >= 0 else s)
    global WINDOWS  # held: a collected context manager would restore the real functions
    WINDOWS = capture_windows(show=False)
    WINDOWS.__enter__()
    sys.stdout = open(os.devnull, "w")
    warnings.simplefilter("ignore")
    if not under_address_sanitizer():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def under_address_sanitizer():
    """True in the sanitizer check's processes. There a cap on address space would starve
    AddressSanitizer's own mappings (its shadow memory alone reserves terabytes), and it dies
    with "Failed to mmap"; the check caps each allocation through ASAN_OPTIONS instead."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Files read from the working directory, written afresh for some calls.
CALIBRATION = {
    "mtx": np.array([[100.0, 0, 80], [0, 100, 60], [0, 0, 1]]),
    "dist": np.array([[0.1, -0.05, 0, 0, 0]]),
}


def write_calibration(rng):
    kind = rng.choice(["valid", "valid", "junk arrays", "missing key", "not an archive"])
    if kind == "valid":
        np.savez("calibrate.npz", **CALIBRATION)
    elif kind == "junk arrays":
        np.savez("calibrate.npz", mtx=hostile_array(rng), dist=hostile_array(rng))
    elif kind == "missing key":
        np.savez("calibrate.npz", mtx=np.eye(3))
    else:
        with open("calibrate.npz", "wb") as f:
            f.write(b"no archive")
    return f"calibrate.npz: {kind}"


def write_picture(rng):
    kind = rng.choice(["a picture", "not a picture", "none"])
    if kind == "a picture":
        cv2.imwrite("1.png", np.full((60, 80, 3), 200, np.uint8))
    elif kind == "not a picture":
        with open("1.png", "wb") as f:
            f.write(b"\x89PNG junk")
    elif os.path.exists("1.png"):
        os.remove("1.png")
    return f"1.png: {kind}"


FILES = {"distortion": write_calibration, "f3": write_picture, "pic_read": write_picture}


# ---------------------------------------------------------------------------------------------
# The surface


def stub_attributes():
    """{class name: attribute names the stubs declare}, for the three modules."""
    found = {}
    for path in glob.glob(os.path.join(os.path.dirname(control_zelk.__file__), "*.pyi")):
        module = os.path.basename(path)[:-4]
        for node in ast.parse(open(path, encoding="utf-8").read()).body:
            if isinstance(node, ast.ClassDef):
                found[(module, node.name)] = [
                    item.target.id
                    for item in node.body
                    if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
                ]
    return found


def surface():
    """[(kind, module, owner, name)]: each class ("class"), its methods ("method"), the
    module's functions ("function") and the types of all of them that are not classes of the
    modules ("type"), in a fixed order."""
    targets, function_types = [], set()
    for module in MODULES:
        for name, obj in sorted(vars(module).items()):
            if isinstance(obj, type) and obj.__module__ == module.__name__:
                targets.append(("class", module, obj, name))
                for attr, member in vars(obj).items():
                    if callable(member) and not isinstance(member, type):
                        targets.append(("method", module, obj, attr))
                        function_types.add(type(member))
            elif callable(obj) and getattr(obj, "__module__", None) == module.__name__:
                targets.append(("function", module, None, name))
                function_types.add(type(obj))
    for t in sorted(function_types, key=lambda t: t.__qualname__):
        targets.append(("type", None, t, t.__qualname__))
    return targets


def target_name(target):
    kind, module, owner, name = target
    if kind == "type":
        return (
            "type " + repr(owner)[len("<class '") : -2]
        )  # its __module__ is an instance attribute
    if kind == "method":
        return f"{module.__name__}.{owner.__name__}.{name}"
    return f"{module.__name__}.{name}"


def runs_until_interrupted(function):
    return "until Ctrl-C" in (function.__doc__ or "")


# ---------------------------------------------------------------------------------------------
# One call


class Call:
    """A call made from (seed, i): `what` describes it, run() makes it."""

    def __init__(self, seed, i, targets, assets, stubs):
        rng = random.Random(f"{seed}:{i}")
        self.rng, self.assets, self.stubs = rng, assets, stubs
        self.targets, self.target = targets, targets[i % len(targets)]
        kind, module, owner, name = self.target
        self.port_seed = rng.getrandbits(32)
        self.picture = plausible(rng, assets, "", "img") if rng.random() < 0.8 else hostile(rng)
        self.file = FILES[name](rng) if name in FILES and kind == "function" else None
        self.notes = [] if self.file is None else [self.file]
        self.global_change = None
        if module is not None and rng.random() < 0.15:
            self.global_change = self.choose_global_change(module)
        self.loops = kind == "function" and runs_until_interrupted(getattr(module, name))
        if kind == "type":
            self.plan_type_operation()
        else:
            function = (
                owner
                if kind == "class"
                else vars(owner)[name]
                if kind == "method"
                else getattr(module, name)
            )
            qualname = f"{owner.__name__}.__init__" if kind == "class" else function.__qualname__
            self.receiver = self.choose_receiver(owner, name) if kind == "method" else None
            self.args, self.kwargs = self.choose_arguments(function, qualname, kind)
        self.what = self.describe()

    # -- choices ---------------------------------------------------------------------------

    def value(self, qualname, name, hostility=0.4):
        if self.rng.random() >= hostility:
            v = plausible(self.rng, self.assets, qualname, name)
            if v is not MISSING:
                return v
        return hostile(self.rng)

    def choose_arguments(self, function, qualname, kind):
        rng = self.rng
        try:
            params = list(inspect.signature(function).parameters.values())
        except (TypeError, ValueError):
            params = []
        if kind == "method":
            params = params[1:]  # self is the receiver
        if kind == "class" and rng.random() < 0.1:
            return [], {}  # bare construction, T()
        hostility = rng.choice([0.15, 0.4, 0.8])
        args, kwargs, by_keyword = [], {}, False
        for p in params:
            if p.default is not p.empty and rng.random() < 0.3:
                continue
            v = self.value(qualname, p.name, hostility)
            by_keyword = by_keyword or rng.random() < 0.2
            if by_keyword:
                kwargs[p.name] = v
            else:
                args.append(v)
        arity = rng.random()
        if arity < 0.03:
            args.append(hostile(rng))
        elif arity < 0.05:
            kwargs[rng.choice(["nope", "\ud800", "self"])] = hostile(rng)
        elif arity < 0.07 and args:
            args.pop()
        return args, kwargs

    def choose_receiver(self, owner, method):
        rng = self.rng
        kind = rng.choice(["fresh"] * 5 + ["subclass"] * 2 + ["attributes"] * 3 + ["bare", "other"])
        receiver = {"kind": kind, "class": owner, "via_instance": rng.random() < 0.5}
        module = sys.modules[owner.__module__]
        if kind in ("fresh", "subclass", "attributes"):
            init = owner.__init__
            qualname = f"{owner.__name__}.__init__"
            params = list(inspect.signature(init).parameters.values())[1:]
            receiver["init"] = [self.value(qualname, p.name, 0.02) for p in params]
        names = self.attribute_names(owner)
        if kind == "subclass":
            methods = sorted(
                {
                    n
                    for c in owner.__mro__
                    if c.__module__ == module.__name__
                    for n, m in vars(c).items()
                    if callable(m) and not isinstance(m, type) and n not in ("__init__", method)
                }
            )
            chosen = rng.sample(methods, min(len(methods), rng.randint(1, 3)))
            receiver["overrides"] = {
                m: {
                    "sets": {n: hostile(rng) for n in rng.sample(names, min(len(names), 2))},
                    "raises": rng.random() < 0.2,
                    "returns": hostile(rng),
                }
                for m in chosen
            }
        if kind == "attributes":
            receiver["attributes"] = {
                n: ("<deleted>" if rng.random() < 0.3 else self.attribute_junk(n))
                for n in rng.sample(names, min(len(names), rng.randint(1, 3)))
            }
        if kind == "other":
            receiver["object"] = rng.choice(
                [None, object(), Junk(rng.getrandbits(32)), 5, "text", hostile_array(rng)]
            )
        return receiver

    def attribute_junk(self, name):
        rng = self.rng
        kind = rng.random()
        if kind < 0.25:
            return "<proxy>"  # the real attribute, made a Proxy when the call runs
        if kind < 0.6:
            return Junk(rng.getrandbits(32))
        if name in ("pro",) and rng.random() < 0.5:
            return rng.choice(
                [
                    "text",
                    np.array(["a"] * 12),
                    np.zeros(0),
                    np.full(12, np.nan),
                    [0.95] * 12,
                    np.eye(1, 13, 12)[0],
                ]
            )
        return hostile(rng)

    def attribute_names(self, owner):
        names = set()
        for c in owner.__mro__:
            names.update(self.stubs.get((c.__module__.rsplit(".", 1)[-1], c.__name__), []))
        return sorted(names) or ["img"]

    def choose_global_change(self, module):
        rng = self.rng
        name = rng.choice(sorted(n for n in vars(module) if not n.startswith("__")))
        real = vars(module)[name]
        how = rng.choice(["delete", "junk", "none", "proxy", "proxy", "hostile"])
        if how == "proxy" and not isinstance(real, (types.ModuleType, type)) and not callable(real):
            how = "junk"
        value = {"junk": Junk(rng.getrandbits(32)), "none": None, "hostile": hostile(rng)}.get(
            how, rng.getrandbits(32)
        )
        return {"module": module, "name": name, "how": how, "value": value}

    def plan_type_operation(self):
        rng = self.rng
        # The demonstrations that run until Ctrl-C are called as targets of their own.
        functions = [
            f
            for (k, m, o, n) in self.targets
            if k in ("method", "function")
            for f in [vars(o)[n] if k == "method" else getattr(m, n)]
            if not runs_until_interrupted(f)
        ]
        self.function = rng.choice(functions)
        self.operation = rng.choice(
            [
                "T()",
                "T(junk)",
                "T.__new__(T)",
                "copy.copy(f)",
                "pickle.dumps(f)",
                "f.__get__(junk, junk)",
                "f.__dict__ = junk",
                "setattr(f, getset, junk)",
                "attributes of f",
                "weakref.ref(f)",
                "f(*junk, **junk)",
                "f(*many)",
            ]
        )
        self.junk = [hostile(rng) for _ in range(rng.randint(0, 3))]
        self.getset = rng.choice(
            [
                "__name__",
                "__qualname__",
                "__module__",
                "__doc__",
                "__signature__",
                "__text_signature__",
                "__dict__",
                "other",
            ]
        )
        self.kwnames = rng.sample(["img", "self", "\ud800", "y", "x" * 300], rng.randint(0, 2))

    # -- description -----------------------------------------------------------------------

    def describe(self):
        kind, module, owner, name = self.target
        parts = []
        if kind == "type":
            parts.append(
                f"{self.operation} with T = {owner.__qualname__}, "
                f"f = {self.function.__qualname__}, junk = {show(self.junk)}, "
                f"getset {self.getset}, keywords {self.kwnames!r}"
            )
        else:
            args = [show(a) for a in self.args] + [f"{k}={show(v)}" for k, v in self.kwargs.items()]
            call = f"{target_name(self.target)}({', '.join(args)})"
            r = self.receiver
            if r is not None:
                if r["kind"] == "other":
                    receiver = f"self = {show(r['object'])}"
                else:
                    receiver = (
                        f"self = {r['kind']} {owner.__name__}({show(r.get('init', []))[1:-1]})"
                    )
                    for m, o in r.get("overrides", {}).items():
                        receiver += (
                            f"; {m} overridden: sets {show(o['sets'])}, "
                            f"{'raises' if o['raises'] else 'returns ' + show(o['returns'])}"
                        )
                    for n, v in r.get("attributes", {}).items():
                        receiver += (
                            f"; .{n} = {v if isinstance(v, str) and v.startswith('<') else show(v)}"
                        )
                via = "on the instance" if r["via_instance"] else "on the class"
                call += f" [{receiver}; called {via}]"
            parts.append(call)
        g = self.global_change
        if g is not None:
            parts.append(
                f"global {g['module'].__name__}.{g['name']}: {g['how']}"
                f"{'' if g['how'] in ('delete', 'proxy') else ' ' + show(g['value'])}"
            )
        parts += self.notes
        return "; ".join(parts)

    # -- running ---------------------------------------------------------------------------

    def run(self):
        FakePort.replies = random.Random(self.port_seed)
        Cameras.picture = self.picture
        restore = self.change_global()
        try:
            if self.target[0] == "type":
                return self.run_type_operation()
            return self.run_call()
        finally:
            restore()

    def change_global(self):
        g = self.global_change
        if g is None:
            return lambda: None
        namespace, name = vars(g["module"]), g["name"]
        saved = namespace.get(name, MISSING)
        if g["how"] == "delete":
            namespace.pop(name, None)
        elif g["how"] == "proxy":
            namespace[name] = Proxy(saved, g["value"])
        else:
            namespace[name] = g["value"]

        def restore():
            namespace[name] = saved

        return restore

    def materialise(self, value):
        if value is CAMERA_ZERO:
            return cv2.VideoCapture(0)
        return value

    def run_call(self):
        kind, module, owner, name = self.target
        args = [self.materialise(a) for a in self.args]
        kwargs = {k: self.materialise(v) for k, v in self.kwargs.items()}
        if kind == "class":
            return owner(*args, **kwargs)
        if kind == "function":
            return getattr(module, name)(*args, **kwargs)
        r = self.receiver
        if r["kind"] == "other":
            obj = r["object"]
        elif r["kind"] == "bare":
            obj = owner.__new__(owner)
        else:
            cls = owner
            if r["kind"] == "subclass":
                cls = type(
                    owner.__name__,
                    (owner,),
                    {m: make_override(o) for m, o in r["overrides"].items()},
                )
            obj = cls(*r["init"])
            for n, v in r.get("attributes", {}).items():
                if v == "<deleted>":
                    obj.__dict__.pop(n, None)
                elif isinstance(v, str) and v == "<proxy>":
                    setattr(obj, n, Proxy(getattr(obj, n, None), self.port_seed))
                else:
                    setattr(obj, n, v)
        if r["via_instance"] and r["kind"] != "other":
            return getattr(obj, name)(*args, **kwargs)
        return vars(owner)[name](obj, *args, **kwargs)

    def run_type_operation(self):
        T, f, junk, op = self.target[2], self.function, self.junk, self.operation
        if op == "T()":
            made = T()
        elif op == "T(junk)":
            made = T(*junk)
        elif op == "T.__new__(T)":
            made = T.__new__(T)
        elif op == "copy.copy(f)":
            made = copy.copy(f)
        elif op == "pickle.dumps(f)":
            return pickle.loads(pickle.dumps(f))
        elif op == "f.__get__(junk, junk)":
            return f.__get__(*junk[:2])
        elif op == "f.__dict__ = junk":
            f.__dict__ = junk[0] if junk else {}
            return f.__dict__
        elif op == "setattr(f, getset, junk)":
            setattr(f, self.getset, junk[0] if junk else None)
            return getattr(f, self.getset)
        elif op == "weakref.ref(f)":
            return weakref.ref(f)()
        elif op == "f(*junk, **junk)":
            return f(*junk, **dict(zip(self.kwnames, junk)))
        elif op == "f(*many)":
            return f(*range(20))
        else:
            made = f
        # Whatever was made is looked at as a learner's tools would.
        for attr in (
            "__name__",
            "__qualname__",
            "__module__",
            "__doc__",
            "__text_signature__",
            "__dict__",
        ):
            getattr(made, attr, None)
        repr(made), hash(made), made == f
        return made(*junk)


def make_override(plan):
    def override(self, *args, **kwargs):
        for n, v in plan["sets"].items():
            setattr(self, n, v)
        if plan["raises"]:
            raise JunkError("override")
        return plan["returns"]

    return override


# ---------------------------------------------------------------------------------------------
# Outcomes


def fault_of(error, call):
    """None for an ordinary outcome, else what is wrong with it."""
    if error is None:
        return None
    if isinstance(error, HarnessStop):
        return None if call.loops else "interrupted by the harness's key-wait loop guard"
    if not isinstance(error, Exception):
        return f"raised {type(error).__name__}, not an Exception: {error}"
    seen, e = set(), error
    while e is not None and id(e) not in seen:
        seen.add(id(e))
        text = str(e)
        # OpenCV's own errors name C++ functions (std::vector<...> in their signatures).
        opencv_own = isinstance(e, cv2.error) and text.startswith("OpenCV(")
        if (
            isinstance(e, SystemError)
            and not raised_by_cv2(text)
            or (BINDING_TEXT.search(text) and not isinstance(e, JunkError) and not opencv_own)
        ):
            return f"{type(e).__name__}: {text[:300]}"
        e = e.__cause__ or e.__context__
    return None


def raised_by_cv2(text):
    """Whether a SystemError comes from a function of cv2 itself: OpenCV's binding raises some
    (e.g. cv2.resize(2 ** 100, (2, 2))), and the plain Python steps raise them just the same."""
    m = re.match(
        r"<built-in function (\w+)> (returned a result with an exception set|"
        r"returned NULL without setting an exception)",
        text,
    )
    return m is not None and m.group(1) in CV2_FUNCTIONS


# cv2's own functions, named before the stand-ins replace some of them.
CV2_FUNCTIONS = {n for n, f in vars(cv2).items() if isinstance(f, types.BuiltinFunctionType)}


def describe_error(error):
    return "returned" if error is None else f"{type(error).__name__}: {str(error)[:200]}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--skip", default="", help="targets not to call (comma-separated)")
    parser.add_argument("--seconds", type=float, default=None, help="stop starting calls after")
    parser.add_argument("--hang-seconds", type=float, default=20)
    parser.add_argument("--progress-fd", type=int, default=None)
    parser.add_argument("--workdir", default=None)
    parser.add_argument("--verbose", action="store_true", help="each call and its outcome")
    opts = parser.parse_args(argv)
    started = time.monotonic()
    out = os.fdopen(opts.progress_fd, "w", buffering=1) if opts.progress_fd is not None else None
    terminal = io.TextIOWrapper(sys.stdout.buffer, errors="backslashreplace", line_buffering=True)

    def report(**fields):
        if out is not None:
            out.write(json.dumps(fields, ensure_ascii=True) + "\n")

    faulthandler.enable(all_threads=True)
    assets = Assets()
    prepare(opts.workdir or tempfile.mkdtemp(prefix="zelk-hostile-"), assets)
    stubs = stub_attributes()
    targets = surface()
    skip = set(filter(None, opts.skip.split(",")))
    armed = []

    def interrupt(signum, frame):
        if armed:
            raise HarnessStop()

    signal.signal(signal.SIGALRM, interrupt)
    faults = done = 0
    for i in range(opts.first, opts.first + opts.count):
        if opts.seconds is not None and time.monotonic() - started > opts.seconds:
            break
        if target_name(targets[i % len(targets)]) in skip:
            continue
        call = Call(opts.seed, i, targets, assets, stubs)
        report(call=i, target=target_name(call.target), what=call.what)
        if opts.verbose:
            print(f"call {i}: {call.what}", file=terminal, flush=True)
        faulthandler.dump_traceback_later(opts.hang_seconds, exit=True)
        error = None
        try:
            if call.loops:
                armed.append(True)
                signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
            call.run()
        except BaseException as e:  # every outcome is judged below
            error = e
        finally:
            armed.clear()
            signal.setitimer(signal.ITIMER_REAL, 0)
        faulthandler.cancel_dump_traceback_later()
        fault = fault_of(error, call)
        faults += fault is not None
        done += 1
        report(done=i, fault=fault, outcome=describe_error(error))
        if opts.verbose:
            print(
                f"  -> {describe_error(error)}{'  FAULT: ' + fault if fault else ''}",
                file=terminal,
                flush=True,
            )
            if fault and error is not None:
                traceback.print_exception(error, file=terminal)
        del call, error
        gc.collect(0)
    report(end=True, calls=done, faults=faults, seconds=round(time.monotonic() - started, 1))
    return 0


WINDOWS = None

if __name__ == "__main__":
    sys.exit(main())
