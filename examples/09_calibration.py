"""Straighten camera pictures with optik.distortion and the lens data in calibrate.npz; q quits.
Run: on the car .venv/bin/python examples/09_calibration.py; without it .venv/bin/zelk-run-on-sim examples/09_calibration.py
"""

import os

import cv2
import numpy as np
from control_zelk import optik

FRAMES = 40  # pictures to straighten before the program stops by itself
CORNERS = (9, 6)  # inner corners of the chessboard: 9 along, 6 down

# optik.distortion reads the lens data from "calibrate.npz" in the folder you run the program
# from. To make it for YOUR camera: print a chessboard of 10 x 7 squares, take about 15 photos
# of it from different sides (08_training_photos.py can take them), find its corners in each
# photo with cv2.findChessboardCorners, give them all to cv2.calibrateCamera, and save:
#     np.savez("calibrate.npz", mtx=camera_matrix, dist=distortion)
# When there is no calibrate.npz yet, this program does the same with chessboards that it draws
# and tilts itself. That DEMONSTRATION file lets you try the program (on the simulator too), but
# it knows nothing about a real lens: delete it and make your own.
if not os.path.exists("calibrate.npz"):
    print("no calibrate.npz: making a demonstration one from drawn chessboards")
    squares = np.indices((CORNERS[1] + 1, CORNERS[0] + 1)).sum(axis=0) % 2 * 255
    board = np.kron(squares, np.ones((40, 40))).astype(np.uint8)  # 40 pixels a square
    board = cv2.copyMakeBorder(board, 40, 40, 40, 40, cv2.BORDER_CONSTANT, value=255)
    h, w = board.shape

    # Where the corners are on the board itself (in squares; the board is flat, so z = 0).
    on_board = np.zeros((CORNERS[0] * CORNERS[1], 3), np.float32)
    on_board[:, :2] = np.mgrid[0 : CORNERS[0], 0 : CORNERS[1]].T.reshape(-1, 2)

    board_points = []
    picture_points = []
    outline = np.float32([[0, 0], [w, 0], [w, h], [0, h]])
    for a, b, c, d in [
        (0, 0, 0, 0),
        (40, 0, 0, 0),
        (0, 40, 0, 0),
        (0, 0, 40, 0),
        (0, 0, 0, 40),
        (30, 30, 0, 0),
        (0, 0, 30, 30),
    ]:
        # Pull the corners of the board about a little: as if photographed from another side.
        seen = np.float32(
            [[60 + a, 40 + a], [580 - b, 40 + b], [580 - c, 440 - c], [60 + d, 440 - d]]
        )
        tilt = cv2.getPerspectiveTransform(outline, seen)
        photo = cv2.warpPerspective(board, tilt, (640, 480), borderValue=255)
        found, corners = cv2.findChessboardCorners(photo, CORNERS)
        if found:
            board_points.append(on_board)
            picture_points.append(corners)
    rms, camera_matrix, distortion, rotations, moves = cv2.calibrateCamera(
        board_points, picture_points, (640, 480), None, None
    )
    np.savez("calibrate.npz", mtx=camera_matrix, dist=distortion)
    print("calibrate.npz made from", len(picture_points), "chessboards")

cam = optik.Camera(0)
for turn in range(FRAMES):
    frame = cam.read_camera()
    if frame is None:
        print("no picture from the camera: stopping")
        break
    straight = optik.distortion(frame)  # the valid part of the straightened picture, 320 x 320
    if turn == 0:
        print(
            "camera picture",
            frame.shape[1],
            "x",
            frame.shape[0],
            "-> straightened",
            straight.shape[1],
            "x",
            straight.shape[0],
        )
    cv2.imshow("camera", frame)
    cv2.imshow("straightened", straight)
    if cv2.waitKey(1) == ord("q"):
        break

cam.close_camera()
cv2.destroyAllWindows()
