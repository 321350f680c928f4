"""The web page in a real browser (Debian's chromium, headless, driven by Selenium through
chromium-driver): pictures that change and their downloads, the program's output, keys that
reach the program, the stop button and the end it leaves, the world from above and the
lesson summary.

ZELK_DOC_PICTURES=1 also saves the page as docs/pictures/web-view.png (docs/make_pictures.py
does that)."""

import os
import re
import subprocess
import textwrap
import threading
import time

import cv2
import numpy as np
import pytest
from layout import ON_SIM, REPO
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PICTURE = os.path.join(REPO, "docs", "pictures", "web-view.png")

# A camera picture and a grey copy, as in examples/07; prints each key it gets; drives until
# stopped.
PROGRAM = """
    import cv2
    from control_zelk.Drivox_1 import Car, Ul_sensor
    from control_zelk.optik1 import Camera, Img
    car = Car()
    car.car_go(30)
    cam = Camera(0)
    print("driving", flush=True)
    while True:
        frame = cam.read_camera()
        picture = Img(frame)
        picture.name_windows("camera")
        picture.show_image("camera")
        grey = Img(frame.copy())
        grey.BGR2GRAY()
        grey.name_windows("grey")
        grey.show_image("grey")
        Ul_sensor(1).ul_get()
        key = cv2.waitKey(30)
        if key != -1:
            print("key", key, flush=True)
"""

# Draws the <img> given as the script's first argument on a canvas (`context`); null before
# it has a picture.
ON_CANVAS = """
    const img = arguments[0];
    if (!img.complete || !img.naturalWidth) return null;
    const canvas = document.createElement("canvas");
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext("2d");
    context.drawImage(img, 0, 0);
"""
# The colour of the <img> at (x, y), by default its middle.
PIXEL = (
    ON_CANVAS
    + """
    const x = arguments[1] ?? img.naturalWidth >> 1, y = arguments[2] ?? img.naturalHeight >> 1;
    return Array.from(context.getImageData(x, y, 1, 1).data.slice(0, 3));
"""
)
# The first bytes and the size of the PNG its download link gives (async: the callback last).
DOWNLOAD = """
    const [link, done] = arguments;
    fetch(link.href).then(r => r.arrayBuffer()).then(b => createImageBitmap(new Blob([b]))
        .then(p => done([Array.from(new Uint8Array(b.slice(1, 4))), p.width, p.height])));
"""
# A sum over all of the <img>'s picture.
PICTURE_SUM = (
    ON_CANVAS
    + """
    return context.getImageData(0, 0, canvas.width, canvas.height).data.reduce((a, b) => a + b, 0);
"""
)

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("ZELK_EMULATED")),
    reason="chromium under CPU emulation starts too slowly for Selenium; test_web_view.py "
    "covers the page's server there",
)


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--window-size=1280,800",
    ):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(10)
    yield driver
    driver.quit()


def wait(driver, what, timeout=30):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: what())


def pixel(driver, img, x=None, y=None):
    return driver.execute_script(PIXEL, img, x, y)


def save_doc_picture(png):
    """The page at the guide's picture width (640)."""
    page = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR)
    height = round(page.shape[0] * 640 / page.shape[1])
    small = cv2.resize(page, (640, height), interpolation=cv2.INTER_AREA)
    cv2.imwrite(PICTURE, small, [cv2.IMWRITE_PNG_COMPRESSION, 9])


class ProgramOnSim:
    """The program under zelk-run-on-sim --web, its output lines collected as they come."""

    def __init__(self, tmp_path, *options, source=PROGRAM, name="prog.py"):
        program = tmp_path / name
        program.write_text(textwrap.dedent(source))
        self.proc = subprocess.Popen(
            [*ON_SIM, "--web", "--port", "0", *options, str(program)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=tmp_path,
        )
        first = self.proc.stderr.readline()
        assert first.startswith("web view: "), first + self.proc.stderr.read()
        self.url = first.split()[-1]
        self.out = []
        self.err = []
        self._readers = [
            threading.Thread(target=lambda s=stream, kept=lines: kept.extend(s), daemon=True)
            for stream, lines in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))
        ]
        for reader in self._readers:
            reader.start()

    def end(self):
        """The exit status, once all the output has been read."""
        status = self.proc.wait(timeout=30)
        for reader in self._readers:
            reader.join(timeout=30)
        return status


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def test_program_on_the_page(browser, tmp_path):
    run = ProgramOnSim(tmp_path)
    try:
        browser.get(run.url)
        camera = wait(browser, lambda: browser.find_element(By.CSS_SELECTOR, "img[alt=camera]"))
        wait(browser, lambda: browser.find_elements(By.CSS_SELECTOR, "img[alt=grey]"))
        # The practice mat's ball rolls across the picture: the camera window changes.
        seen = set()
        wait(
            browser,
            lambda: seen.add(tuple(pixel(browser, camera, 160, 120) or ())) or len(seen) > 3,
        )
        captions = [c.text for c in browser.find_elements(By.CSS_SELECTOR, "figcaption span")]
        assert captions == ["camera", "grey"]
        assert text(browser, "program") == browser.title == "prog.py"
        wait(browser, lambda: "ultrasonic sensor reads" in text(browser, "sensors"))
        wait(browser, lambda: "straight 30" in text(browser, "indicators"))
        assert text(browser, "indicators").count("PWM") == 4
        # The sensor read again and again: one line with its count.
        wait(browser, lambda: re.search(r"ultrasonic id=1.* ×\d+", text(browser, "trace")))
        assert "\ndriving\n" in text(browser, "output")
        link = browser.find_element(By.CSS_SELECTOR, "a[download='camera.png']")
        assert browser.execute_async_script(DOWNLOAD, link) == [[80, 78, 71], 640, 480]  # PNG

        browser.find_element(By.TAG_NAME, "body").send_keys("k")
        wait(browser, lambda: "key 107" in text(browser, "output"))

        browser.find_element(By.ID, "stop").click()
        assert run.end() == 130
        assert run.err[-1] == "[board] chassis speed_s=0 speed_l=0 speed_h=0\n", run.err[-5:]
        # The car as the program left it: stopped, its stop frame last in the trace.
        wait(browser, lambda: text(browser, "status") == "the program has ended")
        assert "straight 0, sideways 0, turning 0" in text(browser, "indicators")
        assert text(browser, "trace").endswith("chassis speed_s=0 speed_l=0 speed_h=0")
    finally:
        run.proc.kill()
        print("".join(run.err[-20:]))  # shown when the test fails


def test_listen_all_page_through_its_printed_address(browser, tmp_path):
    run = ProgramOnSim(tmp_path, "--listen-all")
    try:
        page = run.url.partition("?")[0]
        browser.get(page)  # no token yet
        assert "token" in browser.find_element(By.TAG_NAME, "body").text
        browser.get(run.url)
        wait(
            browser,
            lambda: pixel(browser, browser.find_element(By.CSS_SELECTOR, "img[alt=camera]")),
        )
        assert browser.current_url == page  # the token is a cookie now, out of sight of scripts
        assert browser.execute_script("return document.cookie") == ""
        browser.refresh()
        browser.find_element(By.TAG_NAME, "body").send_keys("k")
        wait(browser, lambda: "key 107\n" in run.out)
        browser.find_element(By.ID, "stop").click()
        assert run.proc.wait(timeout=30) == 130
    finally:
        run.proc.kill()
        print("".join(run.err[-20:]))


def test_a_learner_program_laps_the_track_on_the_page(browser, tmp_path):
    with open(os.path.join(REPO, "examples", "19_lap_the_track.py"), encoding="utf-8") as f:
        run = ProgramOnSim(
            tmp_path, "--world", "line-track", source=f.read(), name="19_lap_the_track.py"
        )
    try:
        browser.get(run.url)
        top = browser.find_element(By.ID, "top-view")
        # The car drives along the line, leaving its trail: the world from above changes.
        seen = set()
        wait(browser, lambda: seen.add(browser.execute_script(PICTURE_SUM, top)) or len(seen) > 3)
        wait(browser, lambda: "car at" in text(browser, "sensors"))
        wait(browser, lambda: pixel(browser, browser.find_element(By.CSS_SELECTOR, "img[alt=lap]")))
        if os.environ.get("ZELK_DOC_PICTURES") == "1":
            time.sleep(12)  # most of a lap on the picture
            save_doc_picture(browser.get_screenshot_as_png())
        browser.find_element(By.ID, "stop").click()
        assert run.end() == 130
        wait(browser, lambda: text(browser, "laps").startswith("Laps completed: "))
        assert "Distance from the line: mean " in text(browser, "line-distance")
    finally:
        run.proc.kill()
        print("".join(run.err[-20:]))
