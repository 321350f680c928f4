"""The web view over real HTTP: served in-process, and behind both launchers in a subprocess."""

import base64
import contextlib
import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import textwrap
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import cv2
import numpy as np
import pytest
from layout import ON_CAR, ON_SIM, REPO

from zelk_run import web_view
from zelk_run import world as worlds
from zelk_run.board_link import BoardSim
from zelk_run.web_view import MAX_CONNECTIONS_PER_ADDRESS, TRACE_LINES, WebView, machine_addresses

STOP = "chassis speed_s=0 speed_l=0 speed_h=0"


def get(url, path):
    with urllib.request.urlopen(url + path, timeout=10) as answer:
        return answer.status, answer.headers["Content-Type"], answer.read()


def get_state(url, trace_from=0, output=0):
    return json.loads(get(url, f"state?trace={trace_from}&output={output}")[2])


def post(url, path, body=b""):
    request = urllib.request.Request(url + path, data=body, method="POST")
    with urllib.request.urlopen(request, timeout=10) as answer:
        return answer.status


def window_picture(url, name):
    status, kind, body = get(url, "window.jpg?name=" + urllib.parse.quote(name))
    assert kind == "image/jpeg"
    return cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED)


def http_error(call):
    with pytest.raises(urllib.error.HTTPError) as caught:
        call()
    return caught.value.code


def ask(port, request, timeout=10):
    """The status of the answer to a raw request (str, "\\n" for CRLF), or None when the
    connection is closed unanswered."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(request.replace("\n", "\r\n").encode())
        answer = b""
        while b"\r\n" not in answer:
            more = connection.recv(4096)
            if not more:
                break
            answer += more
    return int(answer.split()[1]) if answer else None


def closed_within(connection, seconds):
    """Whether the server closes `connection` within `seconds`, after what answer it gave."""
    connection.settimeout(seconds)
    try:
        while connection.recv(4096):
            pass
    except TimeoutError:
        return False
    except ConnectionResetError:
        pass
    return True


class FakeWorld:
    def __init__(self):
        self.x = 10

    def status(self):
        return {"pose": {"x": self.x, "heading": 0.5}, "distance": 42}

    def top_view(self):
        picture = np.full((60, 80, 3), 255, np.uint8)
        cv2.circle(picture, (self.x, 30), 5, (0, 0, 255), -1)
        return picture


@pytest.fixture
def view():
    stops = []
    with WebView(port=0, readings=FakeWorld(), on_stop=lambda: stops.append(1)) as served:
        served.stops = stops
        yield served


class TestServedView:
    def test_windows_by_any_name(self, view):
        names = ["camera", "相机 / 1 & #2?", "<b>x</b>"]
        for level, name in enumerate(names):
            view.show_window(name, np.full((30, 40, 3), 50 * level, np.uint8))
        view.show_window("camera", np.full((30, 40), 200, np.uint8))  # now grey
        state = get_state(view.url)
        assert state["windows"] == [["camera", 2], [names[1], 1], [names[2], 1]]
        for name, level in [("camera", 200), (names[1], 50), (names[2], 100)]:
            picture = window_picture(view.url, name)
            assert abs(int(picture.mean()) - level) <= 2, name
        view.close_window(names[1])
        assert [w[0] for w in get_state(view.url)["windows"]] == ["camera", names[2]]
        assert http_error(lambda: window_picture(view.url, names[1])) == 404

    def test_pictures_are_encoded_only_for_a_page(self, view, monkeypatch):
        encodes = []
        real = cv2.imencode
        monkeypatch.setattr(cv2, "imencode", lambda *a: encodes.append(1) or real(*a))
        for i in range(50):
            view.show_window("w", np.full((30, 40, 3), i, np.uint8))
        assert encodes == []
        window_picture(view.url, "w")
        window_picture(view.url, "w")  # unchanged: the same JPEG again
        assert len(encodes) == 1

    def test_world_status_and_top_view(self, view):
        assert get_state(view.url)["readings"] == {
            "pose": {"x": 10, "heading": 0.5},
            "distance": 42,
        }
        assert get_state(view.url)["top_view"] is True
        first = cv2.imdecode(np.frombuffer(get(view.url, "top_view.jpg")[2], np.uint8), 1)
        view.readings.x = 70
        time.sleep(0.1)  # a new top view is made at most 15 times a second
        second = cv2.imdecode(np.frombuffer(get(view.url, "top_view.jpg")[2], np.uint8), 1)
        # The red dot (no green) moved right, on white.
        assert first[30, 10, 1] < 60 < first[30, 70, 1]
        assert second[30, 70, 1] < 60 < second[30, 10, 1]

    def test_without_a_world(self):
        with WebView(port=0) as served:
            state = get_state(served.url)
            assert state["readings"] == {} and state["top_view"] is False
            assert http_error(lambda: get(served.url, "top_view.jpg")) == 404

    def test_trace_from_where_the_page_is(self, view):
        for i in range(TRACE_LINES + 20):
            view.add_trace(f"line {i}")
        trace = get_state(view.url)["trace"]
        assert trace["count"] == TRACE_LINES + 20
        assert trace["lines"][0] == "line 20" and len(trace["lines"]) == TRACE_LINES
        view.add_trace("chassis speed_s=0")
        assert get_state(view.url, trace["count"])["trace"]["lines"] == ["chassis speed_s=0"]

    def test_keys_and_stop(self, view):
        assert post(view.url, "key", b"113") == 204
        assert post(view.url, "key", b"27") == 204
        assert http_error(lambda: post(view.url, "key", b"q")) == 400
        assert [view.next_key(0), view.next_key(1), view.next_key(0)] == [113, 27, -1]
        assert post(view.url, "stop") == 204
        assert view.stops == [1]

    def test_page_needs_nothing_from_elsewhere(self, view):
        status, kind, page = get(view.url, "")
        assert status == 200 and kind.startswith("text/html")
        assert not re.search(rb"""(src|href)=["']?(https?:)?//""", page)
        assert not re.search(rb"@import|url\(", page)

    def test_close_ends_open_connections_at_once(self):
        served = WebView(port=0).start()
        get(served.url, "state")
        started = time.monotonic()
        served.close()
        assert time.monotonic() - started < 2
        with pytest.raises(urllib.error.URLError):
            get(served.url, "state")

    @pytest.mark.parametrize(
        "host, origin, status",
        [
            ("localhost:{port}", None, 204),
            ("[::1]:{port}", "http://[::1]:{port}", 204),
            ("127.0.0.1:{port}", "http://127.0.0.1:{port}", 204),
            ("evil.example:{port}", "http://evil.example:{port}", 403),  # DNS rebinding
            ("127.0.0.1", None, 403),  # port 80's server
            ("127.0.0.1:{port}", "http://evil.example", 403),
            ("127.0.0.1:{port}", "http://localhost:1", 403),  # another port's page
            ("127.0.0.1:{port}", "null", 403),
        ],
    )
    def test_loopback_stop_only_from_the_page_itself(self, view, host, origin, status):
        host, origin = (t and t.format(port=view.port) for t in (host, origin))
        stop = f"POST /stop HTTP/1.1\nHost: {host}\nContent-Length: 0\n"
        assert ask(view.port, stop + (f"Origin: {origin}\n" if origin else "") + "\n") == status
        assert view.stops == ([1] if status == 204 else [])

    def test_stalled_and_crowding_clients_hold_up_nothing(self, view, monkeypatch):
        monkeypatch.setattr(web_view, "REQUEST_S", 1)
        head = f"POST /key HTTP/1.1\r\nHost: 127.0.0.1:{view.port}\r\nContent-Length: 3\r\n\r\n"
        silent, half, trickle = (
            socket.create_connection(("127.0.0.1", view.port), timeout=5) for _ in range(3)
        )
        half.sendall(head.encode() + b"6")
        started = time.monotonic()
        for byte in b"GET /state HTTP/1.1\r\n"[:15]:  # a byte each 0.1 s: 1.5 s, unfinished
            with contextlib.suppress(OSError):  # cut off
                trickle.sendall(bytes([byte]))
            time.sleep(0.1)
        assert get_state(view.url)["windows"] == []  # served meanwhile
        assert half.recv(100).startswith(b"HTTP/1.1 408 ")
        for connection in (silent, half, trickle):
            assert closed_within(connection, 2)
            connection.close()
        assert time.monotonic() - started < 4

        monkeypatch.setattr(web_view, "REQUEST_S", 30)  # the crowd stays while it is counted
        threads = threading.active_count()
        crowd = [
            socket.create_connection(("127.0.0.1", view.port))
            for _ in range(MAX_CONNECTIONS_PER_ADDRESS)
        ]
        for _ in range(50):
            with socket.create_connection(("127.0.0.1", view.port), timeout=5) as more:
                assert more.recv(100).startswith(b"HTTP/1.1 503 ")
        assert threading.active_count() <= threads + MAX_CONNECTIONS_PER_ADDRESS + 3
        for connection in crowd:
            connection.close()
        state = f"GET /state HTTP/1.1\nHost: 127.0.0.1:{view.port}\n\n"
        wait_for(lambda: ask(view.port, state) == 200, timeout=5)

    def test_output_lines_and_the_frozen_end(self, view):
        view.add_output("hello ")
        view.add_output("world\nsame\nsame\n")
        view.add_output("Traceback\nValueError: x\n", error=True)
        view.add_output("no newline at the end")
        output = get_state(view.url)["output"]
        assert output == {
            "count": 5,
            "lines": [
                ["hello world", False],
                ["same", False],
                ["same", False],
                ["Traceback", True],
                ["ValueError: x", True],
            ],
        }
        assert get_state(view.url, output=4)["output"]["lines"] == [["ValueError: x", True]]
        view.program_ended()
        view.readings.x = 70  # the car's world goes on (or away): the page keeps the end
        state = get_state(view.url, output=5)
        assert state["output"]["lines"] == [["no newline at the end", False]]
        assert state["readings"]["pose"]["x"] == 10 and not state["ended"]
        first = get(view.url, "top_view.jpg")[2]
        time.sleep(0.1)
        assert get(view.url, "top_view.jpg")[2] == first
        view.finish({"lap_times_s": [12.5]})
        assert get_state(view.url)["ended"] and get_state(view.url)["summary"] == {
            "lap_times_s": [12.5]
        }

    def test_close_waits_for_a_watching_page_to_see_the_end(self, view):
        get_state(view.url)  # a page is watching
        view.finish()
        closing = threading.Thread(target=view.close)
        closing.start()
        closing.join(0.3)
        assert closing.is_alive()
        assert get_state(view.url)["ended"]
        closing.join(2)
        assert not closing.is_alive()

    def test_readings_that_cannot_answer_leave_the_last_ones(self, view):
        assert get_state(view.url)["readings"]["distance"] == 42
        view.readings.status = lambda: 1 / 0
        assert get_state(view.url)["readings"]["distance"] == 42

    def test_window_download_is_its_picture_as_png(self, view):
        picture = np.random.default_rng(1).integers(0, 256, (30, 40, 3), np.uint8)
        view.show_window("相机 1", picture)
        with urllib.request.urlopen(view.url + "window.png?name=%E7%9B%B8%E6%9C%BA%201") as answer:
            assert answer.headers["Content-Type"] == "image/png"
            assert answer.headers["Content-Disposition"] == (
                "attachment; filename*=UTF-8''%E7%9B%B8%E6%9C%BA%201.png"
            )
            png = answer.read()
        assert np.array_equal(cv2.imdecode(np.frombuffer(png, np.uint8), 1), picture)
        assert http_error(lambda: get(view.url, "window.png?name=other")) == 404

    def test_csp_allows_exactly_the_served_script_and_style(self, view):
        with urllib.request.urlopen(view.url) as answer:
            policy, page = answer.headers["Content-Security-Policy"], answer.read().decode()
        for tag, directive in (("script", "script-src"), ("style", "style-src")):
            inline = re.findall(f"<{tag}>(.*?)</{tag}>", page, re.S)
            digest = base64.b64encode(hashlib.sha256(inline[0].encode()).digest()).decode()
            assert len(inline) == 1 and f"{directive} 'sha256-{digest}';" in policy

    def test_default_stop_interrupts_a_sleeping_program(self):
        with WebView(port=0) as served:
            threading.Timer(0.2, post, [served.url, "stop"]).start()
            with pytest.raises(KeyboardInterrupt):
                time.sleep(20)


# Shows a changing picture, prints the keys it gets, drives until stopped.
PROGRAM = """
    import cv2, numpy as np
    from control_zelk.Drivox_1 import Car
    car = Car()
    car.car_go(30)
    for i in range(100000):
        cv2.imshow("窗口 1", np.full((60, 80, 3), i % 256, np.uint8))
        key = cv2.waitKey(20)
        if key != -1:
            print("key", key, flush=True)
            cv2.imshow(f"key {key}", np.zeros((8, 8, 3), np.uint8))  # seen on the page
"""


def start_launcher(tmp_path, launcher, *options, env=None, program=PROGRAM):
    """(process, page URL) once the launcher has said where the page is."""
    source, program = program, tmp_path / "prog.py"
    program.write_text(textwrap.dedent(source))
    proc = subprocess.Popen(
        [*launcher, *options, "--port", "0", str(program)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env=env,
        start_new_session=True,
    )
    line = proc.stderr.readline()
    assert line.startswith("web view: http://127.0.0.1:"), line + proc.stderr.read()
    return proc, line.split()[-1]


def wait_for(what, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = what()
        if found:
            return found
        time.sleep(0.05)
    raise AssertionError(f"waited {timeout} s in vain")


def at_least(count, items):
    """items once there are that many of them, else None (for wait_for)."""
    return items if len(items) >= count else None


def stop_and_end(proc, url):
    post(url, "stop")
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    return out, err


# What strangers send a --listen-all page, and its answer; {host} is 127.0.0.1:PORT. The
# last rows are what the page itself and a script with the token send.
GET = "GET {path} HTTP/1.1\nHost: {host}\n{headers}\n"
POST = "POST {path} HTTP/1.1\nHost: {host}\nContent-Length: {length}\n{headers}\n{body}"
STRANGERS = [
    (GET, "/", "", 403),
    (GET, "/window.jpg?name=%E7%AA%97%E5%8F%A3%201&token=x{token}", "", 403),
    (GET, "/state", "Cookie: zelk_token_{port}=x{token}\n", 403),
    (GET, "/state", "Cookie: zelk_token_1={token}\n", 403),  # another page's
    (GET, "/state?token={token}", "Host: evil.example:{port}\n", 403),  # DNS rebinding
    ("GET /?token={token} HTTP/1.1\nHost: {host}\nHost: evil.example\n\n", 0, 0, 400),
    ("GET /?token={token} HTTP/1.0\n\n", 0, 0, 400),  # no Host
    (POST, "/stop?token={token}", "Origin: http://evil.example\n", 403),  # CSRF
    (POST, "/stop?token={token}", "Origin: http://127.0.0.1:1\n", 403),  # another port's
    (POST, "/stop?token={token}", "Sec-Fetch-Site: cross-site\n", 403),
    (GET, "/etc/passwd?token={token}", "", 404),
    (GET, "/state?token={token}&trace=x", "", 400),
    (GET, "/state?token={token}&trace=-1", "", 400),
    (GET, "/state?token={token}&trace=" + "9" * 5000, "", 400),
    (GET, "/window.jpg?token={token}", "", 400),
    (GET, "/key?token={token}", "", 405),
    ("PUT /state?token={token} HTTP/1.1\nHost: {host}\n\n", 0, 0, 405),
    ("DELETE /?token={token} HTTP/1.1\nHost: {host}\n\n", 0, 0, 405),
    ("PATCH /key?token={token} HTTP/1.1\nHost: {host}\nContent-Length: 0\n\n", 0, 0, 405),
    (POST, "/key?token={token}", "q", 400),
    (POST, "/key?token={token}", "-1", 400),
    (POST, "/key?token={token}", "6" * 5000, 413),
    ("POST /key?token={token} HTTP/1.1\nHost: {host}\nContent-Length: x\n\n65", 0, 0, 400),
    ("POST /key?token={token} HTTP/1.1\nHost: {host}\nContent-Length: -2\n\n65", 0, 0, 400),
    ("POST /key?token={token} HTTP/1.1\nHost: {host}\nTransfer-Encoding: chunked\n\n", 0, 0, 411),
    ("GARBAGE\n\n", 0, 0, 400),
    ("GET / HTTP/x\nHost: {host}\n\n", 0, 0, 400),
    ("GET http://evil.example/state?token={token} HTTP/1.1\nHost: {host}\n\n", 0, 0, 400),
    (GET, "/?token={token}", "X: " + "a" * 70000 + "\n", 431),
    (GET, "/state?token={token}", "", 200),
    (GET, "/state", "Cookie: a=b; zelk_token_{port}={token}\n", 200),
    (GET, "/state?token={token}", "Host: 10.1.2.3:{port}\n", 200),  # through any address
    (POST, "/key?token={token}", "Origin: http://{host}\n66", 204),  # from the page
    (POST, "/key?token={token}", "65", 204),  # a script: no browser, no Origin
]


def stranger_request(template, path, extra, **fields):
    if not path:
        return template.format(**fields)
    headers, _, body = extra.rpartition("\n")
    headers = (headers + "\n" if headers else "").format(**fields)
    if "Host:" in headers:
        template = template.replace("Host: {host}\n", "")
    return template.format(
        path=path.format(**fields), headers=headers, body=body, length=len(body.encode()), **fields
    )


class TestLaunchers:
    def test_strangers_get_nothing_and_the_program_goes_on(self, tmp_path):
        # No display: no window toolkit of its own to write on stderr.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM")}
        proc, url = start_launcher(
            tmp_path, ON_SIM, "--web", "--listen-all", "--trace", "off", env=env
        )
        try:
            port, token = re.fullmatch(r"http://127.0.0.1:(\d+)/\?token=(\S+)", url).groups()
            hosts = [socket.gethostname(), *machine_addresses()]
            printed = [proc.stderr.readline().split()[-1] for _ in hosts]
            assert printed == [f"http://{host}:{port}/?token={token}" for host in hosts]
            fields = {"port": port, "token": token, "host": f"127.0.0.1:{port}"}
            wrong = []
            for template, path, extra, status in STRANGERS:
                request = stranger_request(template, path, extra, **fields)
                if ask(int(port), request) != status:
                    wrong.append((request[:80], ask(int(port), request), status))
            assert wrong == []
            # A client that sends nothing, and one that takes every connection it can.
            silent = [
                socket.create_connection(("127.0.0.1", int(port)), timeout=10)
                for _ in range(MAX_CONNECTIONS_PER_ADDRESS)
            ]
            assert ask(int(port), "") == 503
            assert all(closed_within(connection, 10) for connection in silent)
            # The program got the two keys and goes on.
            page = f"http://127.0.0.1:{port}/"
            wait_for(
                lambda: ["key 65", 1] in json.loads(get(page, f"state?token={token}")[2])["windows"]
            )
            post(page, f"stop?token={token}")
            out, err = proc.communicate(timeout=30)
            assert proc.returncode == 130, err
        finally:
            proc.kill()
        assert [line for line in out.splitlines() if "key" in line] == ["key 66", "key 65"]
        assert "Traceback" not in out
        assert err == ""  # after the addresses

    def test_sim_without_a_display(self, tmp_path):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM")}
        proc, url = start_launcher(tmp_path, ON_SIM, "--web", env=env)
        try:
            wait_for(lambda: get_state(url)["windows"])
            assert window_picture(url, "窗口 1").shape == (60, 80, 3)
            # The board's trace comes through the simulator's output, in its own time.
            wait_for(lambda: get_state(url)["readings"]["speed_s"] == 30)
            wait_for(
                lambda: "chassis speed_s=30 speed_l=0 speed_h=0" in get_state(url)["trace"]["lines"]
            )
            post(url, "key", b"65")
            # Seen by the program before Stop interrupts it.
            wait_for(lambda: ["key 65", 1] in get_state(url)["windows"])
            out, err = stop_and_end(proc, url)
        finally:
            proc.kill()
        assert "key 65" in out.splitlines()
        assert err.splitlines()[-1] == "[board] " + STOP

    def test_car_board_traffic_on_the_page(self, tmp_path):
        with BoardSim() as sim:
            sim.set_inputs(5)
            sim.set_distance(300)
            proc, url = start_launcher(tmp_path, ON_CAR, "--board-port", sim.port)
            try:
                # The command's line can be on the page a moment before its reply's.
                lines = wait_for(lambda: at_least(2, get_state(url)["trace"]["lines"]))
                assert lines[:2] == [
                    "sent 55 0e 01 01 00 1e 00 00 00 00 00 00 00 83",
                    "reply inputs=0x05 distance=300",
                ]
                assert get_state(url)["readings"] == {"inputs": 5, "ultrasonic_cm": 300}
                wait_for(lambda: get_state(url)["windows"])
                stop_and_end(proc, url)
            finally:
                proc.kill()
            sim.wait_trace(STOP)  # the library's stop at exit, through the tap

    def test_stop_pressed_again_leaves_the_exit_handlers_be(self, tmp_path):
        # The program's own handler runs first, then the library's, which stops the car.
        clean_up = """
    import atexit, time
    def clean_up():
        print("cleaning", flush=True)
        time.sleep(1)
        print("cleaned", flush=True)
    atexit.register(clean_up)
"""
        proc, url = start_launcher(tmp_path, ON_SIM, "--web", program=clean_up + PROGRAM)
        try:
            wait_for(lambda: get_state(url)["windows"])
            post(url, "stop")
            while proc.stdout.readline() not in ("cleaning\n", ""):
                pass
            post(url, "stop")
            out, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert proc.returncode == 130 and out == "cleaned\n"
        assert err.splitlines()[-1] == "[board] " + STOP

    def test_the_end_of_a_program_on_the_page(self, tmp_path):
        # Prints, blinks an output and beeps, drives, then fails: the page ends with the car
        # stopped and the error in the program's own output.
        program = """
    import time
    from control_zelk.Drivox_1 import Car, Use_io
    Car().car_go(30)
    Use_io(1).Io_write(io_level=1)
    Use_io(0).pwm_use(pwm_freq=20, pwm_duty=50)
    print("ready", flush=True)
    time.sleep(0.5)
    raise ValueError("oops")
"""
        proc, url = start_launcher(tmp_path, ON_SIM, "--web", program=program)
        try:
            states = [get_state(url)]
            while not states[-1]["ended"]:
                states.append(
                    get_state(url, states[-1]["trace"]["count"], states[-1]["output"]["count"])
                )
            proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert states[0]["readings"] in ({}, states[1]["readings"])
        driving = [s["readings"] for s in states if ["ready", False] in s["output"]["lines"]][0]
        assert driving["speed_s"] == 30 and driving["outputs"] == 2
        end = states[-1]
        assert end["program"] == "prog.py" and proc.returncode == 1
        assert end["readings"]["speed_s"] == 0 and end["readings"]["pwm_duty"] == [50, 0, 0, 0]
        trace = [line for s in states for line in s["trace"]["lines"]]
        assert trace[-1] == STOP
        output = [line for s in states for line in s["output"]["lines"]]
        assert output.count(["ready", False]) == 1 and output[-1] == ["ValueError: oops", True]
        assert all(not line.startswith("[board]") for line, _ in output)

    def test_lesson_summary_at_the_end_of_a_run_on_a_line(self, tmp_path):
        with open(os.path.join(REPO, "examples", "19_lap_the_track.py"), encoding="utf-8") as f:
            lap = f.read()
        proc, url = start_launcher(
            tmp_path,
            ON_SIM,
            "--web",
            "--world",
            "line-track",
            "--duration",
            "3",
            "--pose-log",
            "poses.csv",
            program=lap,
        )
        try:
            state = get_state(url)
            while not state["ended"]:
                state = get_state(url)
            proc.communicate(timeout=30)
        finally:
            proc.kill()
        poses = worlds.read_poses(tmp_path / "poses.csv")
        track = worlds.Track(worlds.load_world("line-track")["line"])
        expected = worlds.line_summary(track, poses)
        summary = state["summary"]
        assert summary["lap_times_s"] == expected.lap_times_s
        assert summary["mean_distance_cm"] == pytest.approx(expected.mean_distance_cm)
        assert summary["largest_distance_cm"] == pytest.approx(expected.largest_distance_cm)
        assert state["readings"]["speed_s"] == 0 and state["top_view"]

    def test_headless_runs_without_a_display(self, tmp_path):
        program = tmp_path / "show.py"
        program.write_text(
            "import cv2, numpy as np\n"
            "cv2.namedWindow('w'); cv2.imshow('w', np.zeros((9, 9), np.uint8))\n"
            "print('key', cv2.waitKey(0))\n"
        )
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM")}
        run = subprocess.run(
            [*ON_SIM, "--headless", str(program)],
            capture_output=True,
            text=True,
            timeout=60,
            env=env,
        )
        assert run.returncode == 0, run.stderr
        assert run.stdout == "key -1\n"


@pytest.mark.parametrize(
    "name, option", [("zelk-run-on-sim", "--world"), ("zelk-run-on-car", "--board-port")]
)
def test_installed_launchers(name, option):
    launcher = os.path.join(os.path.dirname(sys.executable), name)
    run = subprocess.run([launcher, "--help"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.startswith(f"usage: {name} ") and option in run.stdout
