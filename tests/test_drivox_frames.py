"""MySerial: command frames byte for byte, argument errors, and reply checking, through
the installed module, pyserial, a pseudo-terminal and the board simulator."""

import pytest
from control_zelk.Drivox_1 import MySerial


def frame(hexstr):
    return bytes.fromhex(hexstr)


@pytest.fixture
def port(board):
    link = MySerial()
    board.clear()
    return link


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 1, 50, 0, 0, 0), {}, "55 0E 01 01 00 32 00 00 00 00 00 00 00 97"),
        ((), {}, "55 0E 00 00 00 00 00 00 00 00 00 00 00 63"),
        ((3, 1, 256, -60, 0, 0), {}, "55 0E 03 01 01 00 FF C3 00 00 00 00 00 2A"),
        # The checksum adds the unreduced type: 257 contributes 257, the same mod 256.
        ((), {"cmd_type": 257}, "55 0E 01 00 00 00 00 00 00 00 00 00 00 64"),
        # Negative values are sent as 65535 + v: -1 is FF FE, -100 is FF 9B.
        ((1, 1, -1, -100, 0, 0), {}, "55 0E 01 01 FF FE FF 9B 00 00 00 00 00 FC"),
        ((1, 1, 65535, -65535, 0, 0), {}, "55 0E 01 01 FF FF 00 00 00 00 00 00 00 63"),
        # A fraction is lost in the low byte: int(1.5 / 256) = 0, int(1.5 % 256) = 1.
        ((1, 1, 1.5, 0, 0, 0), {}, "55 0E 01 01 00 01 00 00 00 00 00 00 00 66"),
        ((5, 1, 256.75, 0, 0, 0), {}, "55 0E 05 01 01 00 00 00 00 00 00 00 00 6A"),
        ((), {"cmd_id": 2, "arg4": 0x1234}, "55 0E 00 02 00 00 00 00 00 00 12 34 00 AB"),
    ],
)
def test_frames_are_byte_exact(port, board, args, kwargs, expected):
    port.sendCmd(*args, **kwargs)
    port.recieveAck()
    assert board.frames() == [frame(expected)]


@pytest.mark.parametrize(
    "args, error",
    [
        ((1, 1, "50"), TypeError),
        ((1, 1, None), TypeError),
        ((1, 1, 0, 0, 0, [1]), TypeError),
        ((1, 1, 65536), OverflowError),
        ((1, 1, -70000), OverflowError),
        ((1, 1, 10**30), OverflowError),
        (("a", 1, 0), TypeError),
    ],
)
def test_bad_arguments_raise_and_write_nothing(port, board, args, error):
    with pytest.raises(error):
        port.sendCmd(*args)
    port.sendCmd()  # a frame that does reach the board, to be sure nothing came before it
    port.recieveAck()
    assert board.frames() == [frame("55 0E 00 00 00 00 00 00 00 00 00 00 00 63")]


def test_write_goes_through_myserial_own_writemsg(board, capsys):
    seen = []

    class Spy(MySerial):
        def writeMsg(self, sendmsg):
            seen.append(sendmsg)

    link = Spy()
    board.clear()
    link.sendCmd(1, 1, 50)
    assert link.recieveAck() is not None
    assert seen == [] and len(board.frames()) == 1


def test_correct_msg(port, capsys):
    assert port.correctMsg(None) == 0
    assert port.correctMsg(frame("54 01 55")) == 0
    assert capsys.readouterr().out == ""
    assert port.correctMsg(frame("55 01 56")) == 1
    assert capsys.readouterr().out == "数据校验正确！\n"
    assert port.correctMsg(frame("55 01 57")) == 0
    # An empty message is left to recieveAck's handler.
    with pytest.raises(IndexError):
        port.correctMsg(b"")


class TestRecieveAck:
    def test_valid_reply_is_returned(self, port, board, capsys):
        board.set_inputs(0x05)
        board.set_distance(300)
        port.sendCmd(4, 1, 256)
        reply = port.recieveAck()
        assert isinstance(reply, bytes) and len(reply) == 14
        assert reply[0] == 0x55 and reply[4] == 0x05 and reply[5:7] == b"\x01\x2c"
        assert capsys.readouterr().out == "数据校验正确！\n"

    @pytest.mark.parametrize("kind", ["badsum", "badheader"])
    def test_corrupted_reply(self, port, board, capsys, kind):
        board.inject(kind)
        port.sendCmd(1, 1, 50)
        assert port.recieveAck() is None
        assert capsys.readouterr().out == "异常：收到数据有误\n"

    @pytest.mark.parametrize("kind, arg", [("split", None), ("delay", 300)])
    def test_late_or_split_reply_still_arrives_within_the_timeout(
        self, port, board, capsys, kind, arg
    ):
        board.inject(kind, arg=arg)
        port.sendCmd(1, 1, 50)
        assert len(port.recieveAck()) == 14
        assert capsys.readouterr().out == "数据校验正确！\n"

    def test_short_checksum_valid_reply_is_accepted(self, port, board):
        port.ser.timeout = 0.3  # a short reply makes the read wait for the time-out
        board.inject("short", arg=4)
        port.sendCmd(1, 1, 50)
        reply = port.recieveAck()
        assert reply is not None and len(reply) == 4

    def test_trailing_bytes_are_flushed(self, port, board, capsys):
        board.inject("garbage", arg=9)
        port.sendCmd(1, 1, 50)
        first = port.recieveAck()
        port.sendCmd(1, 1, 60)
        second = port.recieveAck()
        # The second reply is the board's answer to the second command, not leftover bytes.
        assert first is not None and second is not None and second[:4] == frame("55 0E 01 01")
        assert capsys.readouterr().out == "数据校验正确！\n" * 2

    def test_no_reply_waits_for_the_timeout(self, port, board, capsys):
        board.inject("noreply")
        port.sendCmd(1, 1, 50)
        assert port.recieveAck() is None
        assert capsys.readouterr().out == "没有收到底层ack应答 index out of range\n"

    def test_serial_failure_is_reported_not_raised(self, port, capsys):
        port.ser.close()
        assert port.recieveAck() is None
        out = capsys.readouterr().out
        assert out.startswith("没有收到底层ack应答 ") and len(out) > len("没有收到底层ack应答 \n")


def test_port_lifecycle(board):
    link = MySerial()
    assert (link.device, link.baud) == ("/dev/ttyAMA0", 115200)
    assert link.ser.timeout == 5 and link.ser.isOpen()
    link.ser.close()
    link.serialOpen()
    assert link.ser.isOpen()
    link.serialOpen()  # already open: nothing happens
    ser = link.ser
    link.__del__()
    assert not ser.isOpen()
    link.ser = None
    link.__del__()  # nothing to close


def test_missing_device_raises_from_constructor():
    import serial

    with pytest.raises(serial.SerialException):
        MySerial("/dev/does-not-exist-zelk")


def python_frame(cmd_type, cmd_id, *args):
    """The frame as the same steps give it in Python."""
    args = [a + 65535 if a < 0 else a for a in args]
    split = []
    for a in args:
        split += [int(a / 256), int(a % 256)]
    checksum = 85 + 14 + cmd_type + cmd_id + sum(split)
    return b"%c%c%c%c%c%c%c%c%c%c%c%c%c%c" % (
        85,
        14,
        cmd_type % 256,
        cmd_id % 256,
        *split,
        0,
        checksum % 256,
    )


def test_frames_equal_the_python_steps_for_any_int_arguments(monkeypatch):
    """Plain ints take a shortcut; it must give the same bytes, or the same OverflowError."""
    import random

    import serial

    class Recorder:
        def __init__(self, *args, **kwargs):
            self.written = []

        def write(self, data):
            self.written.append(data)

        def close(self):
            pass

    monkeypatch.setattr(serial, "Serial", Recorder)
    link, rng = MySerial(), random.Random(7)
    for _ in range(20000):
        args = [
            rng.choice(
                [rng.randint(-300, 300), rng.randint(-70000, 70000), rng.randint(-(2**41), 2**41)]
            )
            for _ in range(6)
        ]
        try:
            want = python_frame(*args)
        except OverflowError:
            with pytest.raises(OverflowError):
                link.sendCmd(*args)
            continue
        link.sendCmd(*args)
        assert link.ser.written[-1] == want, args
