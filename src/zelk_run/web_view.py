"""A web page that shows a running learner program: its windows, its output, the board's
trace, the world seen from above and the sensor values, with the program's keys and a stop
button; once the program has ended, the state it left the car in and the lesson summary.

    view = WebView(port=0, readings=readings, program="prog.py").start()  # readings: below
    print(view.url)
    with capture_windows(show=False, sink=view):     # window_capture.py
        run the program (its output to view.add_output, the trace to view.add_trace)
    view.program_ended()                             # the readings as the car was left
    view.finish(summary)                             # the page shows the end
    view.close()

Served by the standard library's ThreadingHTTPServer, one daemon thread per connection:

    GET  /                     the page (page/index.html, package data: nothing from elsewhere)
    GET  /state?trace=N&output=M
                               JSON: the program's name, windows and their picture numbers,
                               trace lines N on, output lines M on, the readings, whether
                               there is a top view, whether the program has ended, the summary
    GET  /window.jpg?name=W    window W's latest picture
    GET  /window.png?name=W    the same as W.png, to download
    GET  /top_view.jpg         readings.top_view()
    POST /key                  body: a key code, for the program's next key wait
    POST /stop                 on_stop()

The page fetches a window's picture only when its number changed, one at a time, so pictures
are encoded (cv2.imencode, which lets the program's thread run meanwhile) only while a page
watches, and at most ENCODES_PER_S times a second per window. A program with no page open pays
for a copy of each picture it shows, nothing more.

readings (optional): status() -> dict of JSON values (web_launch.py says which), and
top_view() -> BGR uint8 array; either may be missing. The page asks for them while the program
runs; from program_ended() on, it gets them as they were then.

Who is answered. The page shows a classroom's camera pictures and can stop the program, so:
- Served on loopback (the default), only this machine reaches it. Served on other addresses
  (host "0.0.0.0": the launchers' --listen-all), every request needs the run's secret token,
  made anew at start: `token=...` in the query (view.url carries it) or the cookie the
  answer to such a request sets (HttpOnly, SameSite=Strict), which the page's own requests
  then send. Else 403.
- The Host header must name this server and its port (a web page on another site cannot
  reach the page through a name it made point here: DNS rebinding): on loopback 127.0.0.1,
  localhost or [::1]; on other addresses also any IP address and this machine's names.
- A POST whose Origin is not the page's own (the address it was sent to) is refused: a web
  page from elsewhere in the learner's browser cannot type keys or press Stop. A POST with
  no Origin and no Sec-Fetch-Site comes from no browser (browsers send one of them with
  every POST) but from a script or curl, which could send any Origin it liked: allowed.
- Whatever a client sends gets an answer with a short text (or its connection closed), never
  a traceback: a request must arrive whole within REQUEST_S of the server waiting for it,
  an answer go out within WRITE_S, a POST body be at most MAX_BODY bytes, and at most
  MAX_CONNECTIONS connections are open (MAX_CONNECTIONS_PER_ADDRESS from one address); one
  more is answered 503 and closed at once, without a thread of its own.
"""

import base64
import collections
import contextlib
import hashlib
import hmac
import http.server
import importlib.resources
import io
import ipaddress
import json
import math
import queue
import re
import secrets
import signal
import socket
import struct
import threading
import time
import urllib.parse

# The page, with its style and script inline: a page with nothing to fetch but data works
# with no internet access, and the CSP below can allow exactly its own script and style.
PAGE = (importlib.resources.files(__package__) / "page" / "index.html").read_text("utf-8")

ENCODES_PER_S = 15
TRACE_LINES = 300  # the trace lines (and output lines) the page can still fetch
JPEG_QUALITY = 80
KEY_WAIT_SLICE_S = 0.1  # a key wait looks for Ctrl-C this often
REQUEST_S = 5  # a request must have come whole this long after the server waits for it
WRITE_S = 10  # an answer must have gone out within this
MAX_BODY = 1024  # bytes in a POST's body (a key code is a few)
MAX_CONNECTIONS = 64  # open at once; a page uses up to 6
MAX_CONNECTIONS_PER_ADDRESS = 16  # from one client address: one client cannot take them all
MAX_NUMBER = 2**53  # the largest trace line number a page (JavaScript) can count to
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")
# Once the program has ended, close() waits this long at most for a page that is watching to
# fetch the end (the state the car was left in), and pages that polled this recently count
# as watching.
FINAL_WAIT_S = 2
TEXT = "text/plain; charset=utf-8"


def interrupt_main():
    """Ends the program as Ctrl-C would: SIGINT to the main thread, which also cuts short a
    time.sleep or a blocking key wait there."""
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


def _sha256_source(tag):
    """The CSP source that allows the page's one inline <tag> element, by its content's hash."""
    text = re.search(f"<{tag}>(.*?)</{tag}>", PAGE, re.S).group(1)
    digest = base64.b64encode(hashlib.sha256(text.encode()).digest()).decode()
    return f"'sha256-{digest}'"


# Sent with every answer: the page's own script and style and nothing else run; it takes
# pictures and data from its own server only, cannot be shown in another site's frame, and
# its address (which may carry the token) goes to no one as a Referer.
SECURITY_HEADERS = (
    (
        "Content-Security-Policy",
        f"default-src 'none'; script-src {_sha256_source('script')}; "
        f"style-src {_sha256_source('style')}; img-src 'self'; connect-src 'self'; "
        "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    ),
    ("X-Frame-Options", "DENY"),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
)
BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
    b"X-Content-Type-Options: nosniff\r\nContent-Length: 21\r\nConnection: close\r\n\r\n"
    b"too many connections\n"
)


def machine_names():
    """The names other machines may know this one by: its host name, the name's first label
    and that label in .local (Raspberry Pi OS announces it so over mDNS)."""
    name = socket.gethostname().lower().rstrip(".")
    short = name.split(".")[0]
    return sorted({n for n in (name, short, short + ".local") if n and n != ".local"})


def machine_addresses():
    """This machine's IPv4 addresses, loopback left out, as its network interfaces have them
    (Linux); [] where they cannot be asked."""
    found = []
    try:
        import fcntl

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            for _index, interface in socket.if_nameindex():
                try:
                    # SIOCGIFADDR: the interface's address, in a struct ifreq.
                    ifreq = fcntl.ioctl(
                        probe.fileno(), 0x8915, struct.pack("256s", interface.encode()[:15])
                    )
                except OSError:
                    continue  # down, or no IPv4 address
                address = socket.inet_ntoa(ifreq[20:24])
                if not ipaddress.ip_address(address).is_loopback and address not in found:
                    found.append(address)
    except (ImportError, AttributeError, OSError):
        pass
    return found


def _authority(text):
    """ "name[:port]" or "[v6]:port" -> (lower-case name without brackets, port: 80 if none),
    or None when it is no such thing."""
    match = re.fullmatch(r"(\[[0-9A-Fa-f:.]+\]|[^\[\]:/@\s]+)(?::([0-9]{1,5}))?", text or "")
    if not match:
        return None
    name, port = match.group(1).lower().rstrip("."), int(match.group(2) or 80)
    return name.strip("[]"), port


def _is_ip_address(name):
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


class _Incoming(io.RawIOBase):
    """A connection's incoming bytes, read against a deadline the handler sets for each
    request: a client that sends its request a byte now and then is cut off as surely as one
    that sends nothing (a time-out per read would let it go on)."""

    def __init__(self, connection):
        super().__init__()
        self._connection = connection
        self.deadline = time.monotonic() + REQUEST_S

    def readable(self):
        return True

    def readinto(self, buffer):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request came too slowly")
        self._connection.settimeout(left)
        return self._connection.recv_into(buffer)


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

    def png(self):
        """The latest picture as PNG (lossless: to download, so made only when asked)."""
        picture = self.picture
        if picture is None:
            return None
        import cv2

        ok, data = cv2.imencode(".png", picture)
        return data.tobytes() if ok else None


class _Frozen:
    """Readings as they were at one moment: what the page shows after the program's end."""

    def __init__(self, status, top_view):
        self._status = status
        if top_view is not None:
            self.top_view = lambda: top_view

    def status(self):
        return self._status


class WebView:
    """The page's server, and a sink for window_capture.capture_windows.

    Served anywhere but on loopback, it answers only requests with its `token` (see above);
    `url` carries it."""

    def __init__(self, host="127.0.0.1", port=8765, readings=None, on_stop=None, program=""):
        self.host = host
        self.port = port
        self.readings = readings
        self.program = program  # the page's title: the program's file name
        self.on_stop = on_stop or interrupt_main
        self.loopback = host in LOOPBACK_NAMES or (
            _is_ip_address(host) and ipaddress.ip_address(host).is_loopback
        )
        self.token = None if self.loopback else secrets.token_urlsafe(24)
        # The names a Host header may give (IP addresses too, off loopback).
        self.names = {*LOOPBACK_NAMES, host.lower()}
        if not self.loopback:
            self.names.update(machine_names())
        self._lock = threading.Lock()
        self._windows = {}  # name -> _Picture, in the order first shown
        self._trace = collections.deque(maxlen=TRACE_LINES)
        self._trace_count = 0  # lines ever added
        self._output = collections.deque(maxlen=TRACE_LINES)  # [text, is an error]
        self._output_count = 0
        self._partial = {False: "", True: ""}  # an output line not ended yet, per stream
        self._readings_status = {}  # the last the readings gave
        self._ended = False
        self._summary = None
        self._polled_at = -math.inf  # when a page last asked for the state
        self._end_seen = threading.Event()  # a page has fetched the state after the end
        self._top_view = _Picture()
        self._top_view_at = 0.0
        self._keys = queue.Queue()
        self._server = None
        self._thread = None
        self._connections = {}  # open connection -> its client's address

    # -- serving ----------------------------------------------------------------------------

    def start(self):
        """Binds (port 0: any free port) and serves in a daemon thread."""
        self._server = _Server((self.host, self.port), _Handler)
        self._server.view = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            kwargs={"poll_interval": 0.05},
            name="web-view",
            daemon=True,
        )
        self._thread.start()
        return self

    @property
    def url(self):
        host = "127.0.0.1" if self.host in ("", "0.0.0.0") else self.host
        return self.url_at(host)

    def url_at(self, host):
        """The page's address through `host` (a name or an address), with its token."""
        host = f"[{host}]" if ":" in host else host
        query = "" if self.token is None else "?token=" + self.token
        return f"http://{host}:{self.port}/{query}"

    @property
    def cookie_name(self):
        # Browsers keep cookies per host, not per port: one per port, so that two pages
        # served by one machine each keep their own.
        return f"zelk_token_{self.port}"

    def close(self):
        """Stops serving, and closes the connections of pages still open. A page watching the
        end of the program first gets the time to fetch it."""
        if self._server is None:
            return
        if self._ended and time.monotonic() - self._polled_at < FINAL_WAIT_S:
            self._end_seen.wait(FINAL_WAIT_S)
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

    def add_output(self, text, error=False):
        """What the program wrote on its stdout (error: stderr); the page gets whole lines."""
        with self._lock:
            *lines, self._partial[error] = (self._partial[error] + text).split("\n")
            for line in lines:
                self._output.append([line, error])
                self._output_count += 1

    def program_ended(self):
        """The readings as they are now (the car as the program left it) are what the page
        shows from now on; the readings' source may go away."""
        readings = self._status()
        top_view = getattr(self.readings, "top_view", None)
        picture = None
        if top_view is not None:
            with contextlib.suppress(Exception):  # the world's last picture, if it still answers
                picture = top_view()
        for error, text in list(self._partial.items()):
            if text:  # a last line the program did not end
                self.add_output("\n", error)
        self.readings = _Frozen(readings, picture)
        self._top_view_at = -math.inf

    def finish(self, summary=None):
        """The program has ended: pages show so, with `summary` (a dict of JSON values), and
        stop asking."""
        with self._lock:
            self._summary = summary
            self._ended = True

    def put_key(self, code):
        self._keys.put(code)

    # -- what the page asks for --------------------------------------------------------------

    def _status(self):
        """The readings' status; while they cannot answer (a simulator busy past its time-out),
        the last they gave: a page must get an answer."""
        status = getattr(self.readings, "status", None)
        if status is not None:
            try:
                self._readings_status = status()
            except Exception:
                pass
        return self._readings_status

    def state(self, trace_from, output_from=0):
        readings = self._status()
        with self._lock:
            ended = self._ended  # read first: the lines below are then all there are
            windows = [[name, window.number] for name, window in self._windows.items()]
            trace = {
                "count": self._trace_count,
                "lines": _since(self._trace, self._trace_count, trace_from),
            }
            output = {
                "count": self._output_count,
                "lines": _since(self._output, self._output_count, output_from),
            }
            self._polled_at = time.monotonic()
        if ended:
            self._end_seen.set()
        return {
            "program": self.program,
            "windows": windows,
            "trace": trace,
            "output": output,
            "readings": readings,
            "top_view": hasattr(self.readings, "top_view"),
            "ended": ended,
            "summary": self._summary,
        }

    def window_picture(self, name, kind):
        """Window `name`'s latest picture, kind "jpeg" or "png"; None if there is none."""
        with self._lock:
            window = self._windows.get(name)
        return None if window is None else getattr(window, kind)()

    def top_view_jpeg(self):
        """A new top view at most ENCODES_PER_S times a second, whoever asks."""
        with self._lock:
            fresh = time.monotonic() - self._top_view_at >= 1 / ENCODES_PER_S
            if fresh:
                self._top_view_at = time.monotonic()
        if fresh:
            self._top_view.set(self.readings.top_view())
        return self._top_view.jpeg()


def _since(lines, count, first):
    """The lines from number `first` on, of `lines`: the last of `count` lines ever added."""
    return list(lines)[max(0, first - (count - len(lines))) :]


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    view = None

    def process_request(self, request, client_address):
        """A thread per connection, up to the caps; past them a 503 from here, and closed."""
        view = self.view
        address = client_address[0]
        with view._lock:
            from_there = sum(1 for a in view._connections.values() if a == address)
            admitted = (
                len(view._connections) < MAX_CONNECTIONS
                and from_there < MAX_CONNECTIONS_PER_ADDRESS
            )
            if admitted:
                view._connections[request] = address
        if admitted:
            super().process_request(request, client_address)
            return
        try:
            request.setblocking(False)  # it fits in the socket's buffer, or is dropped
            request.send(BUSY)
            request.recv(4096)  # what it sent already: closed unread, it would reset the 503
        except OSError:
            pass
        self.shutdown_request(request)

    def shutdown_request(self, request):
        with self.view._lock:
            self.view._connections.pop(request, None)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        pass  # a page that went away mid-answer; the program's output is no place for it


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # pages keep their connection between requests

    # The routes and their methods; every other path is 404.
    ROUTES = {
        "/": "GET",
        "/state": "GET",
        "/window.jpg": "GET",
        "/window.png": "GET",
        "/top_view.jpg": "GET",
        "/key": "POST",
        "/stop": "POST",
    }

    def setup(self):
        super().setup()
        self.rfile.close()
        self._incoming = _Incoming(self.connection)
        self.rfile = io.BufferedReader(self._incoming)
        self._cookie = None

    def handle_one_request(self):
        # From now on (an idle kept-alive connection included), the request must come whole
        # within REQUEST_S; else the base class closes the connection without an answer.
        self._incoming.deadline = time.monotonic() + REQUEST_S
        self._cookie = None
        super().handle_one_request()

    def log_message(self, format, *args):
        pass  # stderr belongs to the program and the board trace

    def version_string(self):
        return "web-view"  # no Python version for strangers to look up

    def send_error(self, code, message=None, explain=None):
        """The base class's answer to a request it cannot read: a short text, and the
        connection closed, since what follows in it cannot be trusted to be a request."""
        reason = message or self.responses.get(code, ("",))[0]
        # A request line it could not read counts as HTTP/0.9, whose answers have no status
        # line: this one gets one.
        self.request_version = self.protocol_version
        self._send(code, TEXT, f"{code} {reason}\n".encode(), close=True)

    def parse_request(self):
        """Reads the request, then refuses it (answered here; False) unless it may be served."""
        if not super().parse_request():
            return False
        refusal = self._refusal()
        if refusal is not None:
            status, text, *allow = refusal
            headers = [("Allow", allow[0])] if allow else []
            self._send(status, TEXT, text.encode(), close=True, headers=headers)
            return False
        return True

    def _refusal(self):
        """(status, text[, allowed methods]) for a request that is not served, else None."""
        view = self.server.view
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1:
            return 400, "one Host header, please\n"
        host = _authority(hosts[0])
        if not self._names_this_server(host):
            return 403, "this server is not that host\n"
        if self.command == "POST" and not self._from_the_page(host):
            return 403, "only the page itself can do that\n"
        if not self.path.startswith("/") or self.path.startswith("//"):
            return 400, "a path, please\n"
        self._url = urllib.parse.urlsplit(self.path)
        self._query = urllib.parse.parse_qs(self._url.query, keep_blank_values=True)
        if view.token is not None and not self._has_token():
            return 403, "open the address the launcher printed, with its ?token=...\n"
        if self.command not in ("GET", "POST"):
            return 405, "GET or POST, please\n", "GET, POST"
        allowed = self.ROUTES.get(self._url.path)
        if allowed is None:
            return 404, "not found\n"
        if self.command != allowed:
            return 405, f"{allowed}, please\n", allowed
        return None

    def _names_this_server(self, host):
        view = self.server.view
        if host is None or host[1] != view.port:
            return False
        name = host[0]
        return name in view.names or (not view.loopback and _is_ip_address(name))

    def _from_the_page(self, host):
        """Whether a POST comes from the page: a browser says where from (Origin, or at least
        Sec-Fetch-Site); a client that says neither is no browser, and not CSRF."""
        origins = self.headers.get_all("Origin")
        if origins is None:
            return self.headers.get("Sec-Fetch-Site", "same-origin") == "same-origin"
        origin = urllib.parse.urlsplit(origins[0]) if len(origins) == 1 else None
        return (
            origin is not None
            and origin.scheme == "http"
            and origin.path in ("", "/")
            and _authority(origin.netloc) == host
        )

    def _has_token(self):
        token = self.server.view.token.encode()
        given = self._query.get("token", [])
        if any(hmac.compare_digest(g.encode(), token) for g in given):
            # A browser sends it from now on, and the page needs no token in its address.
            self._cookie = (
                f"{self.server.view.cookie_name}={self.server.view.token}; "
                "Path=/; HttpOnly; SameSite=Strict"
            )
            return True
        for header in self.headers.get_all("Cookie") or []:
            for part in header.split(";"):
                name, _, value = part.strip().partition("=")
                if name == self.server.view.cookie_name and hmac.compare_digest(
                    value.strip().strip('"').encode(), token
                ):
                    return True
        return False

    def _number(self, key, high):
        """The query's `key` as a whole number 0..high (missing or blank: 0), else None."""
        text = self._query.get(key, [""])[0]
        if text == "":
            return 0
        if not re.fullmatch(r"[0-9]{1,16}", text) or int(text) > high:
            return None
        return int(text)

    def do_GET(self):
        view = self.server.view
        path = self._url.path
        if path == "/":
            self._send(200, "text/html; charset=utf-8", PAGE.encode())
        elif path == "/state":
            trace_from = self._number("trace", MAX_NUMBER)
            output_from = self._number("output", MAX_NUMBER)
            if trace_from is None or output_from is None:
                self._send(400, TEXT, b"trace, output: a line number, please\n")
                return
            body = json.dumps(view.state(trace_from, output_from), ensure_ascii=False).encode()
            self._send(200, "application/json; charset=utf-8", body)
        elif path in ("/window.jpg", "/window.png"):
            if "name" not in self._query:
                self._send(400, TEXT, b"a window name, please\n")
                return
            name = self._query["name"][0]
            if path == "/window.jpg":
                self._send_picture(view.window_picture(name, "jpeg"))
            else:
                # The window's name as the file's: the browser makes it a name it can save.
                disposition = "attachment; filename*=UTF-8''" + urllib.parse.quote(name + ".png")
                self._send_picture(
                    view.window_picture(name, "png"),
                    "image/png",
                    [("Content-Disposition", disposition)],
                )
        elif path == "/top_view.jpg" and hasattr(view.readings, "top_view"):
            self._send_picture(view.top_view_jpeg())
        else:
            self._send(404, TEXT, b"not found\n")

    def do_POST(self):
        view = self.server.view
        body = self._body()
        if body is None:
            return
        if self._url.path == "/key":
            if not re.fullmatch(rb"\s*[0-9]{1,7}\s*", body):
                self._send(400, TEXT, b"a key code, please\n")
                return
            view.put_key(int(body))
        else:
            view.on_stop()
        self._send(204, None, b"")

    def _body(self):
        """The POST's body, or None once answered: too long, of no clear length, too slow."""
        if "Transfer-Encoding" in self.headers:
            self._send(411, TEXT, b"a Content-Length, please\n", close=True)
            return None
        lengths = set(self.headers.get_all("Content-Length") or ["0"])
        length = lengths.pop().strip() if len(lengths) == 1 else ""
        if not re.fullmatch(r"[0-9]{1,16}", length):
            self._send(400, TEXT, b"a Content-Length, please\n", close=True)
            return None
        if int(length) > MAX_BODY:
            self._send(413, TEXT, b"too long\n", close=True)
            return None
        try:
            body = self.rfile.read(int(length))
        except TimeoutError:
            self._send(408, TEXT, b"the body came too slowly\n", close=True)
            return None
        if len(body) < int(length):
            self._send(400, TEXT, b"the body ended early\n", close=True)
            return None
        return body

    def _send_picture(self, data, kind="image/jpeg", headers=()):
        if data is None:
            self._send(404, TEXT, b"no picture\n")
        else:
            self._send(200, kind, data, headers=headers)

    def _send(self, status, content_type, body, close=False, headers=()):
        self.connection.settimeout(WRITE_S)
        self.send_response(status)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (*SECURITY_HEADERS, *headers):
            self.send_header(name, value)
        if self._cookie:
            self.send_header("Set-Cookie", self._cookie)
        if close:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
