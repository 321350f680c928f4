"""Traces what a program says to the controller board and what the board answers, on the way
through the serial line: on the car there is no simulator to do it.

    tap = BoardTap(on_line=print)
    with tap.redirect_serial():
        car = Car()          # serial.Serial("/dev/ttyAMA0") as usual, its traffic traced
        car.car_go(30)       # -> "sent 55 0e 01 01 00 1e 00 00 00 00 00 00 00 83"
                             #    "reply inputs=0x00 distance=100"
"""

import contextlib
import threading

BOARD_PORT = "/dev/ttyAMA0"


class BoardTap:
    """on_line(text) gets a line per write to the board (its bytes in hex: a command frame)
    and per read from it (a reply's input levels, byte 4, and distance, bytes 5-6).
    status() holds the last reply's readings, for the web page."""

    def __init__(self, on_line, device=BOARD_PORT):
        self.on_line = on_line
        self.device = device  # opened where the program asks for /dev/ttyAMA0
        self._readings = {}
        self._lock = threading.Lock()

    def status(self):
        with self._lock:
            return dict(self._readings)

    def sent(self, data):
        self.on_line("sent " + bytes(data).hex(" "))

    def received(self, reply):
        if len(reply) < 7:
            self.on_line(f"reply of {len(reply)} bytes: {reply.hex(' ')}" if reply else "no reply")
            return
        readings = {"inputs": reply[4], "distance": reply[5] << 8 | reply[6]}
        with self._lock:
            self._readings = readings
        self.on_line(f"reply inputs=0x{readings['inputs']:02x} distance={readings['distance']}")

    @contextlib.contextmanager
    def redirect_serial(self):
        """While active, serial.Serial opened on /dev/ttyAMA0 (in the constructor or by
        setting .port) opens `device` and is traced; other ports pass through untraced."""
        import serial

        real = serial.Serial
        tap = self

        def set_port(obj, port):
            obj._zelk_board = port == BOARD_PORT
            real.port.fset(obj, tap.device if obj._zelk_board else port)

        def write(obj, data):
            written = real.write(obj, data)
            if getattr(obj, "_zelk_board", False):
                tap.sent(data)
            return written

        def read(obj, size=1):
            data = real.read(obj, size)
            if getattr(obj, "_zelk_board", False):
                tap.received(data)
            return data

        port = property(real.port.fget, set_port, doc=real.port.__doc__)
        serial.Serial = type("Serial", (real,), {"port": port, "write": write, "read": read})
        try:
            yield self
        finally:
            serial.Serial = real
