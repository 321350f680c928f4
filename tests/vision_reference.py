"""Face detection with overlays, QR-code reading, ONNX recognition and the beauty filter of
control_zelk.optik and control_zelk.optik1, written out in plain cv2/NumPy/pyzbar as a
learner's program would spell them: the yardstick of the tests (results) and of the
benchmarks (speed).

Each object is given an `env`, which stands for the module globals the operations read when
they run: model_path, d_path, the item tables, and the `cv2` that shows windows and waits for
keys (the real cv2, or a recorder). Everything else is the real cv2. Files are loaded afresh
on every load, which is what a cached load must be indistinguishable from. (A subclass may
give `_env` as a class attribute and pass env=None.)"""

from types import SimpleNamespace

import cv2
import numpy as np
import pyzbar.pyzbar as pyzbar

ITEMS_NUM = {0: "9", 1: "1", 2: "2", 3: "3", 4: "4", 5: "5", 6: "6", 7: "7", 8: "8"}
ITEMS_DIR = {9: "左转", 10: "右转"}
ITEMS_LABEL = {11: "语音"}
DEFAULT_MODEL = "qmt4082.proto"
BLUE, RED = (255, 0, 0), (0, 0, 255)


def environment(kit="/home/pi/class/", gui=cv2):
    return SimpleNamespace(
        model_path=kit + "model/",
        d_path=kit + "camera_pos/",
        cv2=gui,
        items_num=dict(ITEMS_NUM),
        items_dir=dict(ITEMS_DIR),
        items_label=dict(ITEMS_LABEL),
    )


def _path(text):
    """OpenCV 4.6's own bindings crash on a text that UTF-8 cannot encode (a lone surrogate);
    the library raises the encoding error instead."""
    text.encode("utf-8")
    return text


def load_cascade(path):
    return cv2.CascadeClassifier(_path(path))


def read_net(path):
    return cv2.dnn.readNetFromONNX(_path(path))


def find_faces(cascade, img, neighbours):
    grey = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    return cascade.detectMultiScale(grey, 2, neighbours)


def _all_255(picture):
    return 255 * np.ones(picture.shape, picture.dtype)


def hat_blend(picture, x, y, w, h):
    """Picture, mask and centre of the hat over the face (x, y, w, h)."""
    picture = cv2.resize(picture, (int(w), int(h)))
    if y < h:
        picture = picture[h - y : h, 0:w]
    return picture, _all_255(picture), (int(x + w // 2), int(y))


def mask_blend(picture, x, y, w, h):
    """Picture, mask and centre of the face mask over the lower part of the face."""
    picture = cv2.resize(picture, (int(w), int(h * 4 // 5)))
    return picture, _all_255(picture), (int(x + w // 2), int(y + h * 7 // 10))


def clone(picture, destination, mask, centre):
    """Seamless cloning (MIXED_CLONE). OpenCV 4.6 crashes when the destination is not 8-bit
    BGR (a BGRA frame, say); the library fails there instead, inside the guarded paste."""
    if not (destination.dtype == np.uint8 and destination.ndim == 3 and destination.shape[2] == 3):
        raise ValueError("seamless cloning needs an 8-bit BGR destination")
    return cv2.seamlessClone(picture, destination, mask, centre, cv2.MIXED_CLONE)


class FaceDetect:
    """optik.face_detect"""

    def __init__(self, env, model_name):
        if env is not None:
            self._env = env
        env = self._env
        self.path = env.model_path + model_name + ".xml"
        self.cascade = load_cascade(self.path)
        self.data = "no_people"

    def _show(self, window, img):
        self._env.cv2.imshow(window, img)
        self._env.cv2.waitKey(40)

    def detect(self, img):
        self.data = "no_people"
        self.img_new = img
        faces = find_faces(self.cascade, self.img_new, 5)
        if len(faces):
            self.data = "有人"
        for x, y, w, h in faces:
            cv2.rectangle(self.img_new, (x, y), (x + w, y + h), BLUE, 2)
        self._show("face", self.img_new)

    def cap(self, img, path):
        self._paste(img, path, 5, 1, hat_blend)

    def mask(self, img, path):
        self._paste(img, path, 3, 2, mask_blend)

    def _paste(self, img, path, neighbours, thickness, prepare):
        self.pht = self._env.d_path + path + ".jpg"
        self.img_new = img
        faces = find_faces(self.cascade, self.img_new, neighbours)
        if len(faces):
            self.data = "有人"
        for x, y, w, h in faces:
            if not (x > 0 and y > 0):
                continue
            cv2.rectangle(self.img_new, (x, y), (x + w, y + h), BLUE, thickness)
            try:
                picture = cv2.imread(_path(self.pht))
                destination = img
                picture, mask, centre = prepare(picture, x, y, w, h)
                output = clone(picture, destination, mask, centre)
                self._show("output", output)
            except Exception:
                pass
        self._show("face", self.img_new)


def decode_and_mark(image, keep):
    """Decodes every symbol zbar finds in image, marks it on image, and hands each payload,
    decoded as strict UTF-8, to keep(), in zbar's order."""
    for symbol in pyzbar.decode(image):
        (x, y, w, h) = symbol.rect
        cv2.rectangle(image, (x, y), (x + w, y + h), RED, 5)
        cv2.circle(image, (int(x + w / 2), int(y + h / 2)), int(h / 2), BLUE, 5)
        keep(symbol.data.decode("utf-8"))


class ErweimaRecognize:
    """optik.erweima_recognize"""

    def __init__(self, env):
        if env is not None:
            self._env = env
        env = self._env
        self.data = "none"

    def recognize(self, img):
        self.data = "none"
        self.img = img
        grey = cv2.cvtColor(self.img, cv2.COLOR_BGR2GRAY)
        self.decodeDisplay(grey)
        self._env.cv2.imshow("erweima", grey)
        self._env.cv2.waitKey(1)

    def decodeDisplay(self, image):
        decode_and_mark(image, lambda text: setattr(self, "data", text))


def tensor_224(img):
    """The -1 ... 1 tensor of onnx_detect."""
    img = cv2.resize(img, (224, 224))
    img = np.array(img, dtype=np.float64) / 255
    img = img.transpose((2, 0, 1))
    out = np.zeros(img.shape, dtype=np.float64)
    for i, (m, s) in enumerate(zip([0.5, 0.5, 0.5], [0.5, 0.5, 0.5])):
        out[i] = (img[i] - m) / s
    return out[np.newaxis]


def tensor_unit(img):
    """The 0 ... 1 tensor of onnx_detect_new: no resize, channels stay B, G, R."""
    img = np.array(img, dtype=np.float64) / 255
    return img.transpose((2, 0, 1))[np.newaxis]


def probabilities(net, tensor):
    net.setInput(tensor)
    out = np.squeeze(net.forward())
    e = np.exp(out - np.max(out))
    return e / np.sum(e)


def label(env, pro, previous):
    """The label for probabilities pro; previous when the winner has no label."""
    if not np.max(pro) > 0.9:
        return "none"
    cls = int(np.argmax(pro))
    if 0 <= cls <= 8:
        return env.items_num[cls]
    if cls in (9, 10):
        return env.items_dir[cls]
    if cls == 11:
        return env.items_label[cls]
    return previous


class ModelRecognize:
    """optik.model_recognize"""

    def __init__(self, env, model_name):
        if env is not None:
            self._env = env
        env = self._env
        self.model = read_net(env.model_path + model_name)
        self.item = model_name.split(".")[0]
        self.pro = 0
        self.data = "none"

    def onnx_detect(self, img):
        self.pro = probabilities(self.model, tensor_224(img))

    def onnx_detect_new(self, img):
        self.pro = probabilities(self.model, tensor_unit(img))

    def recognize(self, img):
        frame = cv2.resize(img, (224, 224))
        self.onnx_detect_new(frame)
        self.data = label(self._env, self.pro, self.data)


def beauty(img):
    """The skin-smoothing filter: smoothing 3, detail 2, blend weight 0.1."""
    v1, v2, p = 3, 2, 0.1
    dx, fc = v1 * 5, v1 * 12.5
    temp1 = cv2.bilateralFilter(img, dx, fc, fc)
    temp2 = cv2.subtract(temp1, img)
    temp2 = cv2.add(temp2, (10, 10, 10, 128))
    temp3 = cv2.GaussianBlur(temp2, (2 * v2 - 1, 2 * v2 - 1), 0)
    temp4 = cv2.add(img, temp3)
    dst = cv2.addWeighted(img, p, temp4, 1 - p, 0.0)
    return cv2.add(dst, (10, 10, 10, 255))


class Img:
    """The face, QR, model and beauty methods of optik1.Img (its other methods are not here)."""

    def __init__(self, env, img):
        if env is not None:
            self._env = env
        env = self._env
        self.img = img
        self.time = 40
        self.flag_mask = 0
        self.flag_cap = 0
        self.Type = "彩色图"

    def _show(self, window, img, ms):
        self._env.cv2.imshow(window, img)
        self._env.cv2.waitKey(ms)

    def face_detect(self, model_name):
        self.path = self._env.model_path + model_name + ".xml"
        self.cascade = load_cascade(self.path)
        self.color_data = "no_people"
        self.img_new = self.img
        faces = find_faces(self.cascade, self.img_new, 5)
        if len(faces):
            self.color_data = "有人"
        for x, y, w, h in faces:
            cv2.rectangle(self.img_new, (x, y), (x + w, y + h), BLUE, 2)
            if not (x > 0 and y > 0):
                continue
            cv2.rectangle(self.img_new, (x, y), (x + w, y + h), BLUE, 1)
            if not (self.flag_cap == 1 or self.flag_mask == 1):
                continue
            try:
                picture = cv2.imread(_path(self.pht))
                destination = self.img
                if self.flag_cap == 1:
                    picture, mask, centre = hat_blend(picture, x, y, w, h)
                if self.flag_mask == 1:
                    picture, mask, centre = mask_blend(picture, x, y, w, h)
                output = clone(picture, destination, mask, centre)
                self._show("output", output, 40)
            except Exception:
                pass
        self._show("face", self.img_new, 40)

    def face_cap(self, path):
        self.pht = self._env.d_path + path + ".jpg"
        self.flag_cap = 1
        self.face_detect("face")

    def face_mask(self, path):
        self.pht = self._env.d_path + path + ".jpg"
        self.flag_mask = 1
        self.face_detect("face")

    def beauty_face(self):
        self.img = beauty(self.img)

    def decodeDisplay(self, image):
        decode_and_mark(image, lambda text: setattr(self, "er_data", text))

    def erweima_detect(self):
        self.er_data = "none"
        grey = cv2.cvtColor(self.img, cv2.COLOR_BGR2GRAY)
        self.decodeDisplay(grey)
        self._show("erweima", grey, 1)

    def model_(self, model_name=DEFAULT_MODEL):
        self.model = read_net(self._env.model_path + model_name)
        self.item = model_name.split(".")[0]
        self.pro = 0
        self.m_data = "none"

    def onnx_detect_new(self, img):
        # The network this object holds is used; only an object without one loads the
        # default model first.
        if hasattr(self, "model"):
            self.pro = 0
            self.m_data = "none"
        else:
            self.model_()
        self.pro = probabilities(self.model, tensor_unit(img))

    def model_recognize(self):
        frame = cv2.resize(self.img, (224, 224))
        self.onnx_detect_new(frame)
        self.m_data = label(self._env, self.pro, "none")
