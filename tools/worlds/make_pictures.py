"""Makes the pictures the shipped worlds stand up on their signs, in src/zelk_run/worlds/:

    .venv/bin/python tools/worlds/make_pictures.py

- qr-card.png: a QR code that says "前进 20 cm" (forward 20 cm) on a white card, for the QR
  programs (examples/15_qr_codes.py) to read off a wall of the arena.
- face-card.jpg: the astronaut's head from scikit-image's sample photos (a NASA photo in the
  public domain), for the face programs (examples/14_face_hat_mask.py). In black and white: in
  colour its lips and the flag behind it answer to "red", and the arena keeps each colour
  name for one ball.

Both are square: the arena shows them on 8 and 10 cm signs, and the car's camera, 15 cm above
the floor and tilted down, sees a wall only up to about 10 cm high from half a metre away. The
same qrcode and scikit-image give the same files.
"""

import os

import cv2
import numpy as np

# The shipped worlds, in the package's source folder.
WORLDS = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "zelk_run", "worlds"
)
QR_TEXT = "前进 20 cm"
SIZE = 240  # pixels a side: more than the camera resolves on a 10 cm card


def qr_card(text=QR_TEXT, size=SIZE):
    import qrcode

    code = qrcode.QRCode(border=0, error_correction=qrcode.constants.ERROR_CORRECT_M)
    code.add_data(text)
    code.make(fit=True)
    modules = np.array(code.get_matrix(), dtype=bool)
    # The code fills the card but for a white margin of two modules on every side (the
    # "quiet zone" a reader needs), each module a whole number of pixels.
    n = modules.shape[0] + 4
    pixel = size // n
    picture = np.where(np.kron(modules, np.ones((pixel, pixel), bool)), 0, 255).astype(np.uint8)
    card = np.full((size, size), 255, np.uint8)
    top = (size - picture.shape[0]) // 2
    card[top : top + picture.shape[0], top : top + picture.shape[1]] = picture
    return cv2.cvtColor(card, cv2.COLOR_GRAY2BGR)


def face_card(size=SIZE):
    from skimage import data

    head = data.astronaut()[10:230, 130:350]  # rows, columns: the head
    grey = cv2.resize(
        cv2.cvtColor(head, cv2.COLOR_RGB2GRAY), (size, size), interpolation=cv2.INTER_AREA
    )
    return cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)


def main():
    for name, picture in (("qr-card.png", qr_card()), ("face-card.jpg", face_card())):
        path = os.path.join(WORLDS, name)
        cv2.imwrite(path, picture, [cv2.IMWRITE_PNG_COMPRESSION, 9, cv2.IMWRITE_JPEG_QUALITY, 90])
        print(
            f"{os.path.relpath(path)}  {picture.shape[1]} x {picture.shape[0]}  "
            f"({os.path.getsize(path) // 1024} KB)"
        )


if __name__ == "__main__":
    main()
