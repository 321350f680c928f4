"""Errors a learner meets first (no board, no camera, no kit file) keep their own type and
message, and carry a note that says what to do."""

import control_zelk.Drivox_1 as D
import cv2
import numpy as np
import pytest
from control_zelk import optik, optik1


def notes(excinfo):
    return "\n".join(getattr(excinfo.value, "__notes__", []))


def test_no_board_at_the_port(monkeypatch):
    import serial

    monkeypatch.setattr(D, "serial", serial)  # the real pyserial, no simulator
    with pytest.raises(serial.SerialException) as e:
        D.MySerial("/dev/zelk-no-such-port")
    assert "zelk-run-on-sim" in notes(e) and "/dev/zelk-no-such-port" in str(e.value)


def test_no_camera_picture_for_picking_a_colour(monkeypatch):
    monkeypatch.setattr(optik, "read_cam", lambda cam: None)
    with pytest.raises(TypeError, match="cannot unpack") as e:
        optik.color_detect("green").set_hsv("mine")
    assert "Camera 0 gave no picture" in notes(e)


def test_missing_kit_files(tmp_path, monkeypatch):
    monkeypatch.setattr(optik, "model_path", str(tmp_path) + "/")
    monkeypatch.setattr(optik1, "model_path", str(tmp_path) + "/")
    with pytest.raises(cv2.error) as e:
        optik.face_detect("face").detect(np.zeros((60, 80, 3), "uint8"))
    assert "control_zelk.kit install" in notes(e)
    with pytest.raises(cv2.error) as e:
        optik.model_recognize("qmt4082.proto")
    assert "control_zelk.kit install" in notes(e)
    with pytest.raises(cv2.error) as e:
        optik1.Img(np.zeros((60, 80, 3), "uint8")).model_recognize()
    assert "control_zelk.kit install" in notes(e)
