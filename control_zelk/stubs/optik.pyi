"""Camera capture and one detector class per vision task."""

import sys as sys
from collections import deque as deque
from typing import Any, Protocol, type_check_only

import cv2 as cv2
import numpy
import numpy.typing as npt
from pyzbar import pyzbar as pyzbar

np = numpy

_Image = npt.NDArray[Any]  # any array the vision library takes as an image
_Frame = npt.NDArray[np.uint8]  # an H×W×3 8-bit BGR frame (H×W for grey)

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

@type_check_only
class _FrameSource(Protocol):
    def read(self) -> tuple[Any, Any]: ...

def read_cam(cam: _FrameSource) -> tuple[bool, _Frame] | None:
    """Reads five frames from cam; the fifth (flag, frame) pair when its flag is true, else None."""

class Camera:
    """One camera, opened by its index; the base of the detector classes."""

    cam: cv2.VideoCapture
    ret: bool
    """Success flag of the last read (set by read_camera)."""
    img: _Frame | None
    """The last frame read (set by read_camera)."""
    def __init__(self, index: int | str) -> None:
        """Opens the camera: cam = cv2.VideoCapture(index)."""
    def read_camera(self) -> _Frame | None:
        """Reads five frames and keeps the fifth in ret and img; img, or None when that read failed."""
    def show_image(self) -> None:
        """Shows img in the window "img" when ret is true."""
    def close_camera(self) -> None:
        """Releases the camera."""
    def close_allwindows(self) -> None:
        """Closes every window."""
    def detect(self, img: Any) -> None:
        """Does nothing; the detector classes replace it."""
    def recognize(self, img: Any) -> None:
        """Does nothing; the detector classes replace it."""

class face_detect(Camera):
    """Finds faces with a cascade classifier; pastes a hat or a face mask."""

    path: str
    """The cascade file: model_path + model name + ".xml"."""
    cascade: cv2.CascadeClassifier
    data: str
    """"有人" when the last call found a face, "no_people" when detect found none."""
    img_new: _Frame
    """The frame last passed in (the caller's array)."""
    pht: str
    """The overlay picture: d_path + picture name + ".jpg" (set by cap and mask)."""
    def __init__(self, model_name: str) -> None:
        """Loads the cascade model_path + model_name + ".xml"."""
    def detect(self, img: _Image) -> None:
        """Marks every face on img and shows it in the window "face"; the result is in data."""
    def cap(self, img: _Image, path: str) -> None:
        """Marks the faces and blends the picture d_path + path + ".jpg" as a hat above each."""
    def mask(self, img: _Image, path: str) -> None:
        """Marks the faces and blends the picture d_path + path + ".jpg" over their lower part."""

class color_detect(Camera):
    """Finds the largest patch of one colour (an HSV range) in a frame."""

    data: str
    """Result of the last detect: the colour label, "other_color" or "none"."""
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
    """The HSV picture clicked on in set_hsv."""
    frame: _Frame
    """The frame last given to detect."""
    img_new: _Frame
    """The detected patch's bounding box within frame, or the whole frame."""
    x: float
    y: float
    radius: float
    def __init__(self, color: str) -> None:
        """Takes the HSV range of the named colour ("red", "green", "yellow", "blue", "orange",
        "black", "white", "gray", "purple", "qing") from the table."""
    def set_hsv(self, color: str) -> None:
        """Shows a picture from camera 0; the pixels clicked until a key set the range."""
    def getpos(self, event: int, x: int, y: int, flags: int, param: Any) -> None:
        """Mouse callback of set_hsv: a left click widens the running minima and maxima."""
    def setcolorvalue(
        self, color: str, color_list_low: list[int], color_list_up: list[int]
    ) -> None:
        """Sets the range to [H, S, V] bounds color_list_low..color_list_up, labelled color."""
    def detect(self, frame: _Image) -> None:
        """Finds the largest patch of the range in frame; the result is in data, x, y, radius, pts."""

class erweima_recognize(Camera):
    """Reads QR codes in a frame and marks them."""

    data: str
    """Text of the last code read, or "none"."""
    img: _Frame
    """The frame last passed to recognize."""
    def __init__(self) -> None: ...
    def recognize(self, img: _Image) -> None:
        """Decodes the QR codes of img into data and shows them marked in the window "erweima"."""
    def decodeDisplay(self, image: _Image) -> None:
        """Marks every code in image and sets data to the text of the last one."""

class model_recognize(Camera):
    """Classifies frames with an ONNX network."""

    model: cv2.dnn.Net
    item: str
    """The model file name up to its first "."."""
    pro: int | npt.NDArray[np.floating[Any]]
    """Class probabilities of the last run (0 before any)."""
    data: str
    """Label of the last recognize, or "none"."""
    def __init__(self, model_name: str) -> None:
        """Reads the network model_path + model_name."""
    def onnx_detect(self, img: _Image) -> None:
        """Runs the network on img resized to 224x224, values -1..1; probabilities into pro."""
    def onnx_detect_new(self, img: _Image) -> None:
        """Runs the network on img as it is, values 0..1; probabilities into pro."""
    def recognize(self, img: _Image) -> None:
        """Classifies img: data = the label of a class more probable than 0.9, else "none"."""

def take_photos(img: _Image, class_num_dir: str, name: object) -> bool | None:
    """Saves img as class/camera_test/<class_num_dir>/<name>.jpg; True when written, else None."""

def distortion(img: _Image) -> _Frame:
    """Undistorts img with the calibration in calibrate.npz (cropped and 320x320 when it has a valid region)."""
