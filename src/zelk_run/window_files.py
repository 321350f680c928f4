"""The last picture each window of a program showed, kept to be written as PNG files at the end
of the run (--save-windows DIR): the only copy of what a program shows but never returns, such
as the face with the hat in the window "output".
"""

import os

# A file name keeps this many characters of a window's name: 60 characters of up to four bytes
# each, with ".png" and a " (N)", stay under the 255 bytes a file name may have.
NAME_CHARS = 60


def file_stem(window):
    """The file name (without ".png") for a window's name: each character that is not a letter,
    a digit, a space, "-", "_" or "." becomes "_" (so "/" cannot reach another folder), as does
    a "." in front (no hidden file, no ".."); cut to NAME_CHARS; "_" for the empty name."""
    safe = "".join(c if c.isalnum() or c in " -_." else "_" for c in window[:NAME_CHARS])
    if safe.startswith("."):
        safe = "_" + safe[1:]
    return safe or "_"


def file_names(windows):
    """{window: file name} for windows in the order given; where two names come out the same,
    the later ones get " (2)", " (3)", ... before ".png"."""
    names = {}
    taken = set()
    for window in windows:
        stem = file_stem(window)
        name, n = f"{stem}.png", 1
        while name in taken:
            n += 1
            name = f"{stem} ({n}).png"
        taken.add(name)
        names[window] = name
    return names


class LastPictures:
    """Keeps the last picture shown in each window (capture_windows(keep=...)), even after the
    window was closed, and writes them to a folder."""

    def __init__(self, folder):
        self.folder = folder
        self._pictures = {}  # in the order the windows were first shown

    def show_window(self, name, picture):
        self._pictures[name] = picture  # a copy of its own: the program may draw on its next

    def write(self):
        """Writes each window's last picture as folder/<file name>; returns the paths written
        and those that could not be."""
        import cv2  # the pictures came from cv2.imshow: it is imported already

        pictures = dict(self._pictures)  # a snapshot: a daemon thread may still show one
        written, failed = [], []
        for window, name in file_names(pictures).items():
            path = os.path.join(self.folder, name)
            try:
                ok = cv2.imwrite(path, pictures[window])
            except cv2.error:
                ok = False
            (written if ok else failed).append(path)
        return written, failed
