"""The image class Img: conversions, line following, contours and shapes, colour, faces, QR codes, models."""

import sys as sys
import time as time
from collections import deque as deque
from collections.abc import Sequence
from typing import Any, NoReturn

import cv2 as cv2
import imutils as imutils
import numpy
import numpy.typing as npt
from pyzbar import pyzbar as pyzbar

np = numpy

_Image = npt.NDArray[Any]  # any array the vision library takes as an image
_Frame = npt.NDArray[np.uint8]  # an H×W×3 8-bit BGR frame, or H×W for grey and binary images
_ImageOrNone = npt.NDArray[Any] | list[Any]  # an image, or the empty list: "use the object's img"
_Bound = Sequence[int] | npt.NDArray[Any]  # an [H, S, V] bound

system_platform: str
"""sys.platform at import."""
main_path: str
"""The kit directory: "/home/pi/class/", or "class/" when the platform name contains "win"."""
picture_path: str
model_path: str
"""main_path + "model/": cascade files and ONNX models."""
d_path: str
"""main_path + "camera_pos/": overlay pictures."""
items_num: dict[int, str]
"""Classes 0..8 of the recognition model: digit labels (class 0 is "9")."""
items_dir: dict[int, str]
"""Classes 9 and 10: turn left, turn right."""
items_label: dict[int, str]
"""Class 11: voice."""
items_laji: dict[int, str]
"""The eight classes of the waste-item model."""

class Assist_converse:
    """An empty base class of Img."""

    def __init__(self) -> None: ...

def pic_read(path: str) -> _Frame | None:
    """Reads the colour picture at path; None when it cannot be read."""

class Camera:
    """A camera opened by its index."""

    img: list[Any] | _Frame | None
    """The last frame read ([] before the first read, None after a failed one)."""
    cam: cv2.VideoCapture
    ret: bool
    """Success flag of the last read (set by read_camera)."""
    def __init__(self, num: int | str = 0) -> None:
        """Opens camera num."""
    def read_camera(self) -> _Frame | None:
        """Reads one frame into ret and img and returns it; prints a hint and returns None without one."""
    def close_camera(self) -> None:
        """Releases the camera."""

class Img(Assist_converse):
    """One camera frame and the vision work done on it."""

    img: _Frame
    """The frame all methods work on, replaced in place by the conversions (it is whatever
    the constructor was given: a frame from read_camera or pic_read, which may be None)."""
    time: int
    """The last delay given to delay."""
    flag_mask: int
    flag_cap: int
    Type: str
    """Kind of img: "彩色图" (colour), "灰度图" (grey) or "二值化图" (binary)."""

    # Colour detection (set by color_detect_init, set_hsv, setcolorvalue, color_detect).
    color_data: str
    """Result of color_detect (the colour label, "other_color" or "none") or of face_detect
    ("有人" or "no_people")."""
    color_list_lower: list[int]
    color_list_upper: list[int]
    colorLower: npt.NDArray[np.integer[Any]]
    colorUpper: npt.NDArray[np.integer[Any]]
    color: str
    mybuffer: int
    pts: deque[tuple[int, int]]
    """Recent patch centres (x, y), newest first, at most mybuffer of them."""
    counter: int
    Hmax: int
    Smax: int
    Vmax: int
    Hmin: int
    Smin: int
    Vmin: int
    HSV: _Frame
    frame: _Frame
    img_new: _Frame
    """The detected patch's region of img (color_detect), or img itself (face_detect)."""
    x: float
    y: float
    radius: float

    # Faces (set by face_detect, face_cap, face_mask).
    path: str
    cascade: cv2.CascadeClassifier
    pht: str

    # QR codes (set by erweima_detect, decodeDisplay).
    er_data: str
    """Text of the last QR code read, or "none"."""

    # ONNX model (set by model_, onnx_detect_new, model_recognize).
    model: cv2.dnn.Net
    item: str
    pro: int | npt.NDArray[np.floating[Any]]
    """Class probabilities of the last run (0 before any)."""
    m_data: str
    """Label of the last model_recognize, or "none"."""

    def __init__(self, img: _Image | list[Any] | None = []) -> None:
        """Keeps the frame img (not copied)."""
    def name_windows(self, name: str) -> None:
        """Creates the resizable window name."""
    def close_windows(self) -> None:
        """Closes every window."""
    def show_image(self, windows_name: str) -> None:
        """Shows img in the window windows_name, sized 640x480."""
    def write_image(self, path: str) -> None:
        """Saves img to the file path."""
    def delay(self, time: int) -> None:
        """Waits up to time ms for a key (0: until a key)."""
    def resize(self, newsize: tuple[int, int] = (1, 1)) -> None:
        """Resizes img in place to newsize = (width, height)."""
    def extract_color(self, lower_hsv: _Bound, upper_hsv: _Bound) -> None:
        """Replaces img by its mask of the HSV range lower_hsv..upper_hsv (255 inside)."""
    def erosion(self) -> None:
        """Erodes img in place (3x3, two passes)."""
    def dilation(self) -> None:
        """Dilates img in place (3x3, two passes)."""
    def BGR2GRAY(self) -> None:
        """Converts img to grey in place."""
    def GRAY2BIN(self) -> None:
        """Binarises the grey img in place with Otsu's threshold."""

    # Line following: the line is the 0 pixels of a binary image.
    def offset_calculate1(self, y: int = -1, img: _ImageOrNone = []) -> int:
        """Offset in pixels of the line in row y (-1: the middle row) from the centre; 0 without a line."""
    def line_angle1(self, img: _ImageOrNone = []) -> int:
        """Tilt value of the line: (mean offset of the upper half - that of the lower half) // 180."""
    def offset1(self, img: _ImageOrNone = []) -> bool:
        """True when the middle row holds a line pixel."""
    def dotted_line1(self, img: _ImageOrNone = []) -> bool:
        """True for a dotted line (two or more large blobs whose centre columns lie close)."""
    def offset_calculate2(self) -> int:
        """offset_calculate1 of the middle row of the binarised frame."""
    def line_angle2(self) -> int:
        """line_angle1 of the binarised frame."""
    def offset2(self) -> bool:
        """offset1 of the binarised frame: is there a line?"""
    def dotted_line2(self) -> bool:
        """dotted_line1 of the binarised frame."""

    # Contours and shapes.
    def cnt_area(self, cnt: _Image) -> float:
        """Area of the contour cnt in pixels."""
    def detect(self, c: _Image, Shape: str) -> bool:
        """True when the contour c has the shape Shape: "圆形", "三角形", "正方形" or "长方形"."""
    def bin_detect(self, img: _ImageOrNone = []) -> list[npt.NDArray[np.int32]]:
        """The outer contours of the binary img (empty: the object's img) whose area exceeds 2000."""
    def cnt_draw(self, c: _Image, shape: str) -> None:
        """Draws the contour c in green on img and writes the text shape at its centre."""
    def cnt_center(self, c: _Image) -> list[int]:
        """The centre [cx, cy] of the contour c."""

    # Faces, QR codes, ONNX model.
    def face_detect(self, model_name: str) -> None:
        """Marks the faces found with the cascade model_path + model_name + ".xml"; result in color_data."""
    def face_cap(self, path: str) -> None:
        """Turns the hat overlay d_path + path + ".jpg" on and runs face_detect("face")."""
    def face_mask(self, path: str) -> None:
        """Turns the face-mask overlay d_path + path + ".jpg" on and runs face_detect("face")."""
    def decodeDisplay(self, image: _Image) -> None:
        """Marks every QR code in image and sets er_data to the text of the last one."""
    def erweima_detect(self) -> None:
        """Reads the QR codes of img into er_data ("none" without one) and shows them in "erweima"."""
    def model_(self, model_name: str = "qmt4082.proto") -> None:
        """Reads the network model_path + model_name."""
    def onnx_detect_new(self, img: _Image) -> None:
        """Runs the default network on img as it is (values 0..1); probabilities into pro."""
    def model_recognize(self) -> None:
        """Classifies img: m_data = the label of a class more probable than 0.9, else "none"."""

    # Colour detection.
    def color_detect_init(self, color: str) -> None:
        """Chooses the named colour's HSV range ("red", "green", "yellow", "blue", "orange",
        "black", "white", "gray", "purple", "qing")."""
    def set_hsv(self, color: str) -> None:
        """Shows img and its HSV version; the pixels clicked until a key set the range."""
    def getpos(self, event: int, x: int, y: int, flags: int, param: Any) -> None:
        """Mouse callback of set_hsv: a left click widens the running minima and maxima."""
    def setcolorvalue(
        self, color: str, color_list_low: list[int], color_list_up: list[int]
    ) -> None:
        """Sets the range to [H, S, V] bounds color_list_low..color_list_up, labelled color."""
    def color_detect(self) -> None:
        """Finds the largest patch of the range in img; the result is in color_data, x, y, radius, pts."""
    def beauty_face(self) -> None:
        """Smooths the skin in img."""

def f1() -> NoReturn:
    """Line following on camera 0, printing offset, angle or why not; until Ctrl-C."""

def f2() -> NoReturn:
    """Circles found on camera 0 and drawn on the next frame; until Ctrl-C."""

def f3() -> None:
    """Circles in the picture 1.png of the working folder, marked "circle"."""

def main() -> NoReturn:
    """Recognition and red detection on camera 0, printing m_data and color_data."""

def f4() -> NoReturn:
    """The beauty filter on camera 0, frame and result side by side; until Ctrl-C."""
