"""What the web view costs a program, and how many pictures a page gets.

    .venv/bin/python bench/bench_web_view.py [frames]

1. A program's imshow + waitKey(1) loop on 640x480 camera-sized pictures, headless: without
   any capture sink (pictures go nowhere), into a WebView nobody watches, and into one a
   page watches (a thread standing in for the browser: it polls /state and fetches a window's
   JPEG whenever its number changed, as the page does). CPU time of this process per picture,
   and the wall time per picture of the program's loop.
2. The pictures a watching page receives per second from a program showing 30 a second.
"""

import json
import sys
import threading
import time
import urllib.parse
import urllib.request

import cv2
import numpy as np

from zelk_run.web_view import WebView
from zelk_run.window_capture import capture_windows

PICTURES = [np.random.default_rng(i).integers(0, 255, (480, 640, 3), np.uint8) for i in range(4)]
for i, picture in enumerate(PICTURES):  # smooth, like a camera picture, not noise
    PICTURES[i] = cv2.GaussianBlur(picture, (31, 31), 0)


class Page(threading.Thread):
    """Does what the page's script does: poll, fetch changed pictures one at a time."""

    def __init__(self, url, name):
        super().__init__(daemon=True)
        self.url, self.name = url, name
        self.received = 0
        self.running = True

    def run(self):
        shown = 0
        quoted = urllib.parse.quote(self.name)
        while self.running:
            with urllib.request.urlopen(self.url + "state") as answer:
                windows = dict(json.load(answer)["windows"])
            if windows.get(self.name, shown) != shown:
                shown = windows[self.name]
                urllib.request.urlopen(f"{self.url}window.jpg?name={quoted}&n={shown}").read()
                self.received += 1
            time.sleep(0.066)


def program_loop(frames, delay_ms=1):
    started_cpu, started = time.process_time(), time.perf_counter()
    for i in range(frames):
        cv2.imshow("camera", PICTURES[i % len(PICTURES)])
        cv2.waitKey(delay_ms)
    return (
        (time.process_time() - started_cpu) / frames * 1e6,
        (time.perf_counter() - started) / frames * 1e6,
    )


def cost(frames):
    print("| capture | CPU µs/picture | wall µs/picture |")
    print("|---|---|---|")
    with capture_windows(show=False):
        cpu, wall = program_loop(frames)
    print(f"| headless, no sink | {cpu:.0f} | {wall:.0f} |")
    with WebView(port=0) as view, capture_windows(show=False, sink=view):
        cpu, wall = program_loop(frames)
    print(f"| web view, no page | {cpu:.0f} | {wall:.0f} |")
    with WebView(port=0) as view, capture_windows(show=False, sink=view):
        page = Page(view.url, "camera")
        page.start()
        cpu, wall = program_loop(frames)
        page.running = False
    what = "web view, a page watching (its HTTP and JPEG threads included)"
    print(f"| {what} | {cpu:.0f} | {wall:.0f} |")


def page_rate(seconds=5):
    with WebView(port=0) as view, capture_windows(show=False, sink=view):
        page = Page(view.url, "camera")
        page.start()
        time.sleep(0.5)
        before, started = page.received, time.monotonic()
        while time.monotonic() - started < seconds:
            program_loop(1, delay_ms=33)  # about 30 pictures a second
        rate = (page.received - before) / (time.monotonic() - started)
        page.running = False
    print(f"\npictures a page receives while the program shows ~30/s: {rate:.1f}/s")


if __name__ == "__main__":
    cost(int(sys.argv[1]) if len(sys.argv) > 1 else 2000)
    page_rate()
