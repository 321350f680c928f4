"""A web page that shows a running learner program: its windows, the board's trace, the world
seen from above and its sensor values, with the program's keys and a stop button.

    view = WebView(port=0, world=world).start()      # world: optional, see below
    print(view.url)
    with capture_windows(show=False, sink=view):     # window_capture.py
        run the program
    view.close()

Served by the standard library's ThreadingHTTPServer, one daemon thread per connection:

    GET  /                     the page (web_page.py: no file from elsewhere)
    GET  /state?trace=N        JSON: windows and their picture numbers, trace lines N on,
                               world status, whether there is a top view
    GET  /window.jpg?name=W    window W's latest picture
    GET  /top_view.jpg         world.top_view()
    POST /key                  body: a key code, for the program's next key wait
    POST /stop                 on_stop()

The page fetches a window's picture only when its number changed, one at a time, so pictures
are encoded (cv2.imencode, which lets the program's thread run meanwhile) only while a page
watches, and at most ENCODES_PER_S times a second per window. A program with no page open pays
for a copy of each picture it shows, nothing more.

world (optional): status() -> dict of JSON values (pose, sensor readings, speeds), and
top_view() -> BGR uint8 array; either may be missing.
"""

import collections
import http.server
import json
import queue
import signal
import socket
import threading
import time
import urllib.parse

from .web_page import PAGE

ENCODES_PER_S = 15
TRACE_LINES = 300  # the trace lines the page can still fetch
JPEG_QUALITY = 80
KEY_WAIT_SLICE_S = 0.1  # a key wait looks for Ctrl-C this often


def interrupt_main():
    """Ends the program as Ctrl-C would: SIGINT to the main thread, which also cuts short a
    time.sleep or a blocking key wait there."""
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


class _Picture:
    """The latest picture of a window (or of the top view) and its JPEG, made on demand."""

    def __init__(self):
        self.picture = None
        self.number = 0  # goes up with every new picture
        self._jpeg = None
        self._jpeg_number = -1
        self._encoded_at = 0.0
        self._encoding = threading.Lock()

    def set(self, picture):
        self.picture = picture
        self.number += 1

    def jpeg(self):
        """JPEG of the latest picture; waits for its turn so that a window is encoded at most
        ENCODES_PER_S times a second, however many pages ask."""
        with self._encoding:
            number, picture = self.number, self.picture
            if number != self._jpeg_number and picture is not None:
                import cv2  # here: serving the page alone needs no OpenCV

                time.sleep(max(0.0, self._encoded_at + 1 / ENCODES_PER_S - time.monotonic()))
                number, picture = self.number, self.picture  # the newest after the wait
                ok, data = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
                self._encoded_at = time.monotonic()
                if ok:
                    self._jpeg, self._jpeg_number = data.tobytes(), number
            return self._jpeg


class WebView:
    """The page's server, and a sink for window_capture.capture_windows."""

    def __init__(self, host="127.0.0.1", port=8765, world=None, on_stop=None):
        self.host = host
        self.port = port
        self.world = world
        self.on_stop = on_stop or interrupt_main
        self._lock = threading.Lock()
        self._windows = {}  # name -> _Picture, in the order first shown
        self._trace = collections.deque(maxlen=TRACE_LINES)
        self._trace_count = 0  # lines ever added
        self._top_view = _Picture()
        self._top_view_at = 0.0
        self._keys = queue.Queue()
        self._server = None
        self._thread = None
        self._connections = set()

    # -- serving ----------------------------------------------------------------------------

    def start(self):
        """Binds (port 0: any free port) and serves in a daemon thread."""
        self._server = _Server((self.host, self.port), _Handler)
        self._server.view = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
            name="web-view", daemon=True,
        )
        self._thread.start()
        return self

    @property
    def url(self):
        host = "127.0.0.1" if self.host in ("", "0.0.0.0") else self.host
        return f"http://{host}:{self.port}/"

    def close(self):
        """Stops serving, and closes the connections of pages still open."""
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join()
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # -- what the program and the board hand over --------------------------------------------

    def show_window(self, name, picture):
        with self._lock:
            window = self._windows.get(name)
            if window is None:
                window = self._windows[name] = _Picture()
            window.set(picture)

    def close_window(self, name):
        with self._lock:
            if name is None:
                self._windows.clear()
            else:
                self._windows.pop(name, None)

    def next_key(self, timeout):
        """A key typed in the page within `timeout` seconds (None: however long), else -1."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            # Waited in short slices: a Ctrl-C (or Stop) that lands just before a lock wait
            # without a time-out would only be noticed when the wait ends, maybe never.
            left = KEY_WAIT_SLICE_S if deadline is None else deadline - time.monotonic()
            try:
                if left <= 0:
                    return self._keys.get_nowait()
                return self._keys.get(timeout=min(left, KEY_WAIT_SLICE_S))
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    return -1

    def add_trace(self, line):
        with self._lock:
            self._trace.append(line)
            self._trace_count += 1

    def put_key(self, code):
        self._keys.put(code)

    # -- what the page asks for --------------------------------------------------------------

    def state(self, trace_from):
        with self._lock:
            windows = [[name, window.number] for name, window in self._windows.items()]
            first = self._trace_count - len(self._trace)
            lines = list(self._trace)[max(0, trace_from - first):]
            trace_count = self._trace_count
        status = getattr(self.world, "status", None)
        return {
            "windows": windows,
            "trace": {"count": trace_count, "lines": lines},
            "world": status() if status else None,
            "top_view": hasattr(self.world, "top_view"),
        }

    def window_jpeg(self, name):
        with self._lock:
            window = self._windows.get(name)
        return None if window is None else window.jpeg()

    def top_view_jpeg(self):
        """A new top view at most ENCODES_PER_S times a second, whoever asks."""
        with self._lock:
            fresh = time.monotonic() - self._top_view_at >= 1 / ENCODES_PER_S
            if fresh:
                self._top_view_at = time.monotonic()
        if fresh:
            self._top_view.set(self.world.top_view())
        return self._top_view.jpeg()


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    view = None

    def handle_error(self, request, client_address):
        pass  # a page that went away mid-answer; the program's output is no place for it


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # pages keep their connection between requests

    def setup(self):
        super().setup()
        with self.server.view._lock:
            self.server.view._connections.add(self.connection)

    def finish(self):
        with self.server.view._lock:
            self.server.view._connections.discard(self.connection)
        super().finish()

    def log_message(self, format, *args):
        pass  # stderr belongs to the program and the board trace

    def do_GET(self):
        view = self.server.view
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path == "/":
            self._send(200, "text/html; charset=utf-8", PAGE.encode())
        elif url.path == "/state":
            trace_from = int(query.get("trace", ["0"])[0] or 0)
            body = json.dumps(view.state(trace_from), ensure_ascii=False).encode()
            self._send(200, "application/json; charset=utf-8", body)
        elif url.path == "/window.jpg":
            self._send_jpeg(view.window_jpeg(query.get("name", [""])[0]))
        elif url.path == "/top_view.jpg" and hasattr(view.world, "top_view"):
            self._send_jpeg(view.top_view_jpeg())
        else:
            self._send(404, "text/plain", b"not found\n")

    def do_POST(self):
        view = self.server.view
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.path == "/key":
            try:
                view.put_key(int(body))
            except ValueError:
                self._send(400, "text/plain", b"a key code, please\n")
                return
        elif self.path == "/stop":
            view.on_stop()
        else:
            self._send(404, "text/plain", b"not found\n")
            return
        self._send(204, None, b"")

    def _send_jpeg(self, jpeg):
        if jpeg is None:
            self._send(404, "text/plain", b"no picture\n")
        else:
            self._send(200, "image/jpeg", jpeg)

    def _send(self, status, content_type, body):
        self.send_response(status)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
