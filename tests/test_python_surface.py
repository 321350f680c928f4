"""What learners' tools see of the modules: every public class, method and function has the
signature, name, qualified name, module and docstring a plain Python definition would have,
names the modules use are looked up at call time, and argument errors are the interpreter's."""

import ast
import inspect
import pydoc
import subprocess
import sys
import types
from pathlib import Path

import control_zelk.Drivox_1 as D
import cv2
import numpy as np
import pytest
import vision_assets as va
from control_zelk import optik, optik1

STUBS = Path(__file__).resolve().parent.parent / "control_zelk" / "stubs"
MODULES = [D, optik, optik1]


def literal(node):
    return repr(ast.literal_eval(node))


def signature_text(args):
    """ "(self, car_sp=0)": a stub's parameters as inspect shows them (without annotations)."""
    names = [a.arg for a in args.posonlyargs + args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + list(args.defaults)
    return (
        "("
        + ", ".join(n if d is None else f"{n}={literal(d)}" for n, d in zip(names, defaults))
        + ")"
    )


def stub_signatures(module):
    """{qualname: signature text} of every function and method the module's stub declares:
    the one declaration of the modules' signatures (stubtest ties it to the modules)."""
    tree = ast.parse((STUBS / (module.__name__.rsplit(".", 1)[1] + ".pyi")).read_text("utf-8"))
    found = {}
    for node in tree.body:
        if getattr(node, "name", "").startswith("_"):
            continue  # the stub's own helper types
        if isinstance(node, ast.FunctionDef):
            found[node.name] = signature_text(node.args)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    found[f"{node.name}.{member.name}"] = signature_text(member.args)
    return found


def declared(module):
    """{qualname: function} of every function and method the module defines."""
    found = {}
    for name, obj in vars(module).items():
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            for attr, member in vars(obj).items():
                if callable(member) and not isinstance(member, type):
                    found[f"{name}.{attr}"] = member
        elif callable(obj) and getattr(obj, "__module__", None) == module.__name__:
            found[name] = obj
    return found


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_every_callable_looks_like_a_python_definition(module):
    want, found = stub_signatures(module), declared(module)
    assert sorted(found) == sorted(want)
    for qualname, f in found.items():
        assert str(inspect.signature(f)) == want[qualname], qualname
        assert f.__text_signature__ == want[qualname]
        assert f.__qualname__ == qualname
        assert f.__name__ == qualname.rsplit(".", 1)[-1]
        assert f.__module__ == module.__name__
        assert f.__doc__ and f.__doc__.strip(), qualname
        assert repr(f).startswith(f"<function {qualname} at 0x")


def test_classes_bound_methods_and_help():
    assert str(inspect.signature(D.Car)) == "()"
    assert str(inspect.signature(D.Chassis)) == "(c_function, c_type=1)"
    assert str(inspect.signature(optik1.Img)) == "(img=[])"
    img = optik1.Img()
    assert str(inspect.signature(img.offset_calculate1)) == "(y=-1, img=[])"
    assert isinstance(img.line_angle2, types.MethodType) and img.line_angle2.__self__ is img
    # The shared default is the very list the constructor stores.
    assert inspect.signature(optik1.Img).parameters["img"].default is img.img
    text = pydoc.render_doc(optik1.Img, renderer=pydoc.plaintext)
    assert "line_angle2(self)" in text and optik1.Img.line_angle2.__doc__ in text
    for cls in (D.Car, optik.Camera, optik.color_detect, optik1.Img, optik1.Camera):
        assert cls.__doc__ and cls.__module__ in (
            "control_zelk.Drivox_1",
            "control_zelk.optik",
            "control_zelk.optik1",
        )


def plain_twin(signature, qualname):
    ns = {}
    exec(f"def f{signature}: pass", ns)
    ns["f"].__qualname__ = qualname
    return ns["f"]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1, 2, 3, 4), {}),
        ((), {}),
        ((1, 2), {"y": 2}),
        ((1,), {"nope": 2}),
        ((1, 2, 3), {"img": 3}),
        ((1,), {"self": 1}),
    ],
)
def test_argument_errors_are_the_interpreters_own(args, kwargs):
    native = optik1.Img.offset_calculate1
    twin = plain_twin("(self, y=-1, img=[])", "Img.offset_calculate1")
    with pytest.raises(TypeError) as plain:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as ours:
        native(*args, **kwargs)
    assert str(ours.value) == str(plain.value)


def test_keyword_self_and_methods_assigned_elsewhere_work_as_in_python():
    img = optik1.Img(np.zeros((4, 4), np.uint8))
    assert optik1.Img.offset1(self=img) is True
    assert optik1.Img.offset1(img, img=np.full((4, 4), 255, np.uint8)) is False

    class Mine:
        offset1 = optik1.Img.offset1

    assert Mine.offset1 is optik1.Img.offset1


def test_module_globals_are_looked_up_at_call_time(monkeypatch, capsys):
    rec = va.Recorder(also=("VideoCapture", "setMouseCallback"))
    monkeypatch.setattr(optik1, "cv2", rec)
    img = optik1.Img(np.zeros((8, 8, 3), np.uint8))
    img.name_windows("w")
    img.show_image("w")
    img.delay(5)
    img.close_windows()
    assert (
        rec.summary()
        == [
            ("namedWindow", "w", 0),
            ("resizeWindow", "w", 640, 480),
            ("imshow", "w", (8, 8, 3)),
            ("waitKey", 5),
            ("destroyAllWindows",),
        ]
        + [("waitKey", 1)] * 4
    )

    monkeypatch.setattr(optik, "cv2", rec)
    optik.Camera(3)
    assert rec.calls[-1] == ("VideoCapture", 3)

    printed = []
    monkeypatch.setattr(D, "print", lambda *a: printed.append(a), raising=False)
    assert D.MySerial.correctMsg(None, b"\x55\x01\x56") == 1
    assert printed == [("数据校验正确！",)] and capsys.readouterr().out == ""

    monkeypatch.setattr(optik, "read_cam", lambda cam: (True, np.zeros((2, 2, 3), np.uint8)))
    cd = optik.color_detect("green")
    cd.set_hsv("mine")  # windows recorded, no click: the empty range
    assert cd.color_list_lower == [255, 255, 255]
    assert rec.summary()[-5:] == [
        ("VideoCapture", 0),
        ("imshow", "imageHSV", (2, 2, 3)),
        ("imshow", "image", (2, 2, 3)),
        ("setMouseCallback", "imageHSV", cd.getpos),
        ("waitKey", 0),
    ]


def test_opencv_errors_are_cv2_errors_on_every_path():
    with pytest.raises(cv2.error):
        optik1.Img(np.zeros((5, 5, 2), np.uint8)).BGR2GRAY()
    with pytest.raises(cv2.error):
        optik1.Img(np.zeros((5, 5, 3), np.uint8)).GRAY2BIN()  # Otsu needs one channel
    with pytest.raises(cv2.error):
        optik.color_detect("green").detect(np.zeros((5, 5, 4), np.uint8))


# Run in an interpreter of its own: a type that could be made bare would crash it.
FUNCTION_TYPES_AS_IN_PYTHON = """
import copy, gc, pickle, types
import control_zelk.Drivox_1 as D
from control_zelk import optik, optik1

def found_on(module):
    for obj in vars(module).values():
        yield obj
        if isinstance(obj, type) and obj.__module__ == module.__name__:
            yield from vars(obj).values()
    yield optik1.Img().offset1                       # a bound method

kinds = {type(obj) for m in (D, optik, optik1) for obj in found_on(m)
         if callable(obj) and not isinstance(obj, type)}
kinds |= {t for m in (D, optik, optik1) for t in map(type, found_on(m))
          if t.__name__.startswith("control_zelk.")
          or str(vars(t).get("__module__", "")).startswith("control_zelk")}
for kind in kinds:
    for attempt in (lambda: kind(), lambda: kind.__new__(kind), lambda: setattr(kind, "x", 1),
                    lambda: type("Sub", (kind,), {})):
        try:
            attempt()
        except TypeError:
            continue
        raise SystemExit(f"{kind!r} allowed one of: bare instance, subclass, new attribute")
print(sorted(map(repr, kinds)))

f = D.Car.car_go
f.note = [f]                                  # a cycle through the function's __dict__
assert gc.is_tracked(f) and f.__dict__ in gc.get_referents(f)
assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f and copy.copy(f) is f
assert pickle.loads(pickle.dumps(optik.distortion)) is optik.distortion
"""


def test_function_types_cannot_be_made_bare_or_changed():
    r = subprocess.run(
        [sys.executable, "-c", FUNCTION_TYPES_AS_IN_PYTHON],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert r.returncode == 0, r.stderr
    # One function type per module, and Python's own bound method.
    assert r.stdout.strip() == str(["<class 'control_zelk.function'>"] * 3 + ["<class 'method'>"])
