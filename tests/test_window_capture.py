"""window_capture.capture_windows: what reaches the sink, the key waits, OpenCV's own errors;
the windows' last pictures kept as files (window_files)."""

import os
import threading
import time

import cv2
import numpy as np
import pytest

from zelk_run.window_capture import capture_windows
from zelk_run.window_files import LastPictures, file_names

REPLACED = (
    "imshow",
    "waitKey",
    "waitKeyEx",
    "pollKey",
    "namedWindow",
    "destroyWindow",
    "destroyAllWindows",
    "resizeWindow",
    "moveWindow",
    "setWindowTitle",
    "setMouseCallback",
)


class Sink:
    def __init__(self, keys=()):
        self.shown = []
        self.closed = []
        self.keys = list(keys)
        self.waits = []

    def show_window(self, name, picture):
        self.shown.append((name, picture))

    def close_window(self, name):
        self.closed.append(name)

    def next_key(self, timeout):
        self.waits.append(timeout)
        return self.keys.pop(0) if self.keys else -1


def error_of(call):
    with pytest.raises(Exception) as caught:
        call()
    return type(caught.value), str(caught.value)


class TestPictures:
    def test_library_windows_reach_the_sink_as_copies(self):
        from control_zelk import optik1

        frame = np.zeros((48, 64, 3), np.uint8)
        frame[:, :32] = (0, 0, 255)
        sink = Sink()
        with capture_windows(show=False, sink=sink):
            img = optik1.Img(frame)
            img.name_windows("相机 1")
            img.show_image("相机 1")  # also resizes the window: fine without one
            frame[:] = 0  # drawn on after showing: the sink keeps what was shown
            img.close_windows()
        ((name, picture),) = sink.shown
        assert name == "相机 1"
        assert picture[0, 0].tolist() == [0, 0, 255] and picture[0, 40].tolist() == [0, 0, 0]
        assert sink.closed == [None]

    @pytest.mark.parametrize(
        "picture, expected",
        [
            (np.full((2, 3), 7, np.uint8), np.full((2, 3), 7, np.uint8)),
            (np.full((2, 3, 1), 7, np.uint8), np.full((2, 3), 7, np.uint8)),
            (np.full((2, 3, 4), (1, 2, 3, 0), np.uint8), np.full((2, 3, 3), (1, 2, 3), np.uint8)),
            (np.full((2, 3), 0.5, np.float32), np.full((2, 3), 128, np.uint8)),
            (np.full((2, 3, 3), (-1.0, 0.2, 2.0)), np.full((2, 3, 3), (0, 51, 255), np.uint8)),
            (np.full((2, 3), 1000, np.uint16), np.full((2, 3), 4, np.uint8)),
            (np.full((2, 3), -300, np.int16), np.zeros((2, 3), np.uint8)),
        ],
        ids=["grey", "one channel", "BGRA", "float", "float range", "16 bit", "negative"],
    )
    def test_converted_as_imshow_shows_them(self, picture, expected):
        sink = Sink()
        with capture_windows(show=False, sink=sink):
            cv2.imshow("w", picture)
        shown = sink.shown[0][1]
        assert shown.dtype == np.uint8 and shown.flags.c_contiguous
        np.testing.assert_array_equal(shown, expected)


class TestErrors:
    @pytest.mark.parametrize(
        "call",
        [
            lambda: cv2.imshow(1, np.zeros((2, 2), np.uint8)),
            lambda: cv2.imshow("w", "not a picture"),
            lambda: cv2.imshow("w", np.zeros((0, 0), np.uint8)),
            lambda: cv2.imshow("w", np.zeros((2, 2), bool)),
            lambda: cv2.imshow("w", np.zeros((2, 2, 2), np.uint8)),
            lambda: cv2.imshow("w"),
            lambda: cv2.waitKey(1.5),
            lambda: cv2.waitKey(dealy=3),
            lambda: cv2.namedWindow(b"w"),
            lambda: cv2.resizeWindow("w", 1.0, 2),
            lambda: cv2.destroyWindow(1),
        ],
    )
    @pytest.mark.parametrize("sink", [Sink, lambda: None], ids=["sink", "no sink"])
    def test_are_opencvs_own(self, call, sink):
        # What the real functions raise when there is no window at all: argument errors
        # come before any window is made.
        expected = error_of(call)
        with capture_windows(show=False, sink=sink()):
            assert error_of(call) == expected

    def test_functions_are_restored_after_an_error(self):
        originals = {name: getattr(cv2, name) for name in REPLACED}
        with pytest.raises(ZeroDivisionError):
            with capture_windows(show=False):
                assert cv2.imshow is not originals["imshow"]
                raise ZeroDivisionError
        assert {name: getattr(cv2, name) for name in REPLACED} == originals


class TestKeys:
    def test_without_a_key_source_waits_do_not_block(self):
        with capture_windows(show=False):
            assert cv2.waitKey(0) == -1 and cv2.waitKeyEx() == -1 and cv2.pollKey() == -1
            assert cv2.waitKey(1) == -1

    def test_sink_keys_come_out_of_the_waits(self):
        sink = Sink(keys=[ord("a"), 27, 13])
        with capture_windows(show=False, sink=sink):
            assert cv2.waitKey(0) == ord("a")
            assert cv2.waitKey(40) == 27
            assert cv2.pollKey() == 13
            assert cv2.waitKey(5) == -1
        # waitKey(0) waits for ever, waitKey(40) up to 40 ms, pollKey not at all.
        assert sink.waits == [None, 0.04, 0, 0.005]

    def test_with_real_windows_a_sink_key_ends_the_wait(self):
        sink = Sink()
        threading.Timer(0.2, sink.keys.append, [ord("q")]).start()
        with capture_windows(show=True, sink=sink):
            cv2.imshow("w", np.zeros((20, 20, 3), np.uint8))
            assert cv2.waitKey(0) == ord("q")
            assert cv2.waitKey(30) == -1
            cv2.destroyAllWindows()
        assert sink.shown[0][0] == "w" and sink.closed == [None]

    def test_a_wait_for_ever_is_interrupted_by_ctrl_c(self):
        from zelk_run.web_view import WebView, interrupt_main

        view = WebView(port=0)  # its key queue, not served
        threading.Timer(0.2, interrupt_main).start()
        started = time.monotonic()
        with capture_windows(show=False, sink=view), pytest.raises(KeyboardInterrupt):
            cv2.waitKey(0)
        assert time.monotonic() - started < 10


class TestSavedWindows:
    def test_each_windows_last_picture_as_shown_outlives_the_window(self, tmp_path):
        keep = LastPictures(str(tmp_path))
        with capture_windows(show=False, keep=keep):
            cv2.imshow("out", np.zeros((4, 6, 3), np.uint8))
            cv2.imshow("out", np.full((4, 6), 0.5, np.float32))  # shown as grey 128
            cv2.imshow("a/b", np.full((3, 3, 3), 9, np.uint8))
            cv2.destroyAllWindows()
        written, failed = keep.write()
        assert failed == [] and [os.path.basename(p) for p in written] == ["out.png", "a_b.png"]
        assert np.all(cv2.imread(written[0], cv2.IMREAD_UNCHANGED) == np.full((4, 6), 128))
        keep.folder = str(tmp_path / "gone")
        assert keep.write() == (
            [],
            [str(tmp_path / "gone" / name) for name in ("out.png", "a_b.png")],
        )

    @pytest.mark.parametrize(
        "windows, files",
        [
            (["face", "相机 1", "a-b_c.d"], ["face.png", "相机 1.png", "a-b_c.d.png"]),
            (
                ["../up", ".hidden", "a/b", "a:b", "a_b", ""],
                ["_._up.png", "_hidden.png", "a_b.png", "a_b (2).png", "a_b (3).png", "_.png"],
            ),
            (["名" * 100], ["名" * 60 + ".png"]),  # 184 bytes
        ],
    )
    def test_file_names_stay_in_the_folder_and_apart(self, windows, files):
        assert list(file_names(windows).values()) == files
