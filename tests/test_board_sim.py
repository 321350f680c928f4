"""The board simulator, driven through a raw serial port on its pty and its control socket."""

import os
import select
import signal
import socket
import subprocess
import textwrap

import pytest
import serial
from board_frames import args16, checksum_ok, frame, reply_for
from layout import run_on_sim

from zelk_run.board_link import BOARD_PORT, BoardSim, BoardSimError, find_binary

CHASSIS = frame(1, 1, args16(50, 0, 0))
# Sent after a frame that must go unanswered: replies keep their order, so if anything else
# had been sent back, it would be read in place of the probe's reply.
PROBE = frame(0x7E, 0x7E)


@pytest.fixture
def port(sim):
    with serial.Serial(sim.port, 115200, timeout=1) as p:
        yield p


def exchange(port, cmd, size=14):
    port.write(cmd)
    return port.read(size)


def next_trace(sim):
    return sim.wait_trace("")


def assert_next_reply_is_probes(port, **readings):
    assert exchange(port, PROBE) == reply_for(0x7E, 0x7E, **readings)


class TestDecoding:
    CASES = {
        "chassis": (frame(1, 1, args16(50, 0, 0)), "chassis speed_s=50 speed_l=0 speed_h=0"),
        "chassis negative": (
            frame(1, 1, args16(-1, -100, 20)),
            "chassis speed_s=-1 speed_l=-100 speed_h=20",
        ),
        # 0x8000 is the most negative value the host can send; 0xffff decodes to 0.
        "chassis extremes": (
            frame(1, 1, bytes.fromhex("7fff8000ffff")),
            "chassis speed_s=32767 speed_l=-32767 speed_h=0",
        ),
        "digital output": (frame(2, 2, bytes([0x08, 0])), "io output mask=0x08"),
        "pwm": (frame(2, 3, bytes([0, 20, 50, 30, 0, 0])), "pwm freq=20 duty=50,30,0,0"),
        "pwm 16-bit frequency": (
            frame(2, 3, bytes([0x03, 0xE8, 1, 2, 3, 255])),
            "pwm freq=1000 duty=1,2,3,255",
        ),
        "motor": (
            frame(3, 1, bytes([6, 1]) + args16(50 * 60) + (40).to_bytes(4, "big")),
            "motor id=6 mode=1 speed=50 pulse=40",
        ),
        "motor reverse, 32-bit pulse": (
            frame(3, 1, bytes([2, 0]) + args16(-30 * 60) + bytes([1, 2, 3, 4])),
            "motor id=2 mode=0 speed=-30 pulse=16909060",
        ),
        "motor speed not whole": (
            frame(3, 1, bytes([1, 2]) + args16(3030)),
            "motor id=1 mode=2 speed=50.5 raw=3030 pulse=0",
        ),
        "servo": (frame(3, 2, bytes([1, 50])), "servo id=1 duty=50"),
        "line tracking": (frame(5, 1, bytes([1, 0, 60, 0])), "line_track start=1 speed=60"),
        "line tracking 16-bit speed": (
            frame(5, 1, bytes([0, 0x01, 0x2C, 0])),
            "line_track start=0 speed=300",
        ),
        "chassis other": (frame(1, 2, b"\x01\x02"), "chassis other args=01 02 00 00 00 00 00 00"),
        "io other": (frame(2, 4), "io other args=00 00 00 00 00 00 00 00"),
        "motor other": (frame(3, 3), "motor other args=00 00 00 00 00 00 00 00"),
        "ultrasonic other": (frame(4, 2), "ultrasonic other args=00 00 00 00 00 00 00 00"),
        "line tracking other": (frame(5, 2), "line_track other args=00 00 00 00 00 00 00 00"),
        "type 0": (frame(0, 0, b"\xab"), "unknown type=0 function=0 args=ab 00 00 00 00 00 00 00"),
        "unknown type": (frame(9, 7), "unknown type=9 function=7 args=00 00 00 00 00 00 00 00"),
        "unknown function": (frame(1, 5), "unknown type=1 function=5 args=00 00 00 00 00 00 00 00"),
    }

    @pytest.mark.parametrize("cmd,expected", CASES.values(), ids=CASES.keys())
    def test_command_traced_and_answered(self, sim, port, cmd, expected):
        assert exchange(port, cmd) == reply_for(cmd[2], cmd[3])
        assert next_trace(sim) == expected
        assert sim.frames() == [cmd]

    def test_readings_come_from_the_set_values(self, sim, port):
        sim.set_inputs(0x05)
        sim.set_distance(300)
        assert exchange(port, frame(2, 1)) == reply_for(2, 1, inputs=0x05, distance=300)
        assert next_trace(sim) == "io read inputs=0x05"
        assert exchange(port, frame(4, 1, b"\x01")) == reply_for(4, 1, inputs=0x05, distance=300)
        assert next_trace(sim) == "ultrasonic id=1 distance=300"

    def test_obstacle_approaches_only_while_driving_forward(self, sim, port):
        sim.set_distance(25)
        sim.set_approach(10)
        read = lambda: exchange(port, frame(4, 1, b"\x01"))[5:7]  # noqa: E731
        assert read() == (25).to_bytes(2, "big")  # standing still
        exchange(port, frame(1, 1, args16(30, 0, 0)))
        assert [read(), read(), read()] == [(n).to_bytes(2, "big") for n in (15, 5, 0)]
        exchange(port, frame(1, 1, args16(-30, 0, 0)))
        assert read() == (0).to_bytes(2, "big")

    def test_state_keeps_the_last_command_of_each_kind(self, sim, port):
        for cmd in (
            frame(1, 1, args16(-40, 10, 5)),
            frame(2, 2, bytes([0x0A, 0])),
            frame(2, 3, bytes([0, 50, 10, 20, 30, 40])),
            frame(3, 1, bytes([6, 1]) + args16(-3030) + (70000).to_bytes(4, "big")),
            frame(3, 2, bytes([2, 90])),
            frame(4, 1, b"\x03"),
            frame(5, 1, bytes([1, 0, 80, 0])),
            # "Other" and unknown commands change nothing.
            frame(1, 2, args16(1, 2, 3)),
            frame(0, 0, args16(9, 9, 9, 9)),
        ):
            assert checksum_ok(exchange(port, cmd))
        sim.set_inputs(0x81)
        sim.set_distance(1234)
        st = sim.state()
        expected = {
            "speed_s": -40, "speed_l": 10, "speed_h": 5,
            "outputs": 0x0A, "inputs": 0x81,
            "pwm_freq": 50, "pwm_duty": [10, 20, 30, 40],
            "motor_id": 6, "motor_mode": 1, "motor_speed": -50.5, "motor_speed_raw": -3030,
            "motor_pulse": 70000,
            "servo_id": 2, "servo_duty": 90,
            "ultrasonic_id": 3, "distance": 1234,
            "line_start": 1, "line_speed": 80,
            "commands": 9, "bad_frames": 0, "replies": 9, "faults_pending": 0,
        }  # fmt: skip
        assert {k: st[k] for k in expected} == expected


class TestReplies:
    @pytest.mark.parametrize(
        "cmd", [frame(1, 1, args16(10)), frame(2, 1), frame(3, 2), frame(4, 1), frame(0, 0)]
    )
    def test_reply_echoes_command_and_carries_readings(self, sim, port, cmd):
        # Values whose bytes would show a swap of inputs/distance or of the distance bytes.
        sim.set_inputs(0xA5)
        sim.set_distance(0x1234)
        reply = exchange(port, cmd)
        assert reply == reply_for(cmd[2], cmd[3], inputs=0xA5, distance=0x1234)
        assert checksum_ok(reply)

    def test_new_readings_show_in_the_next_reply(self, sim, port):
        assert exchange(port, frame(4, 1)) == reply_for(4, 1)
        sim.set_distance(65535)
        sim.set_inputs(255)
        assert exchange(port, frame(4, 1)) == reply_for(4, 1, inputs=255, distance=65535)

    def test_several_frames_in_one_write_are_answered_in_order(self, sim, port):
        cmds = [frame(1, 1), frame(2, 2), frame(3, 2), frame(5, 1)]
        replies = exchange(port, b"".join(cmds), size=14 * len(cmds))
        assert replies == b"".join(reply_for(c[2], c[3]) for c in cmds)
        assert sim.frames() == cmds

    def test_frame_arriving_in_pieces_is_answered_once(self, sim, port):
        for i in range(0, 14, 3):
            port.write(CHASSIS[i : i + 3])
            port.flush()
        assert port.read(14) == reply_for(1, 1)
        assert_next_reply_is_probes(port)
        assert sim.frames() == [CHASSIS, PROBE]


class TestBadFrames:
    def test_bad_checksum_is_traced_and_not_answered(self, sim, port):
        bad = CHASSIS[:-1] + bytes([(CHASSIS[-1] + 1) & 0xFF])
        port.write(bad)
        assert_next_reply_is_probes(port)
        assert next_trace(sim) == "bad frame " + bad.hex(" ") + ": checksum"
        assert sim.frames() == [PROBE]
        assert sim.state()["bad_frames"] == 1

    def test_bad_length_byte_is_traced_and_not_answered(self, sim, port):
        bad = bytes([0x55, 0x0D]) + CHASSIS[2:]
        port.write(bad)
        assert_next_reply_is_probes(port)
        assert next_trace(sim) == "bad frame 55 0d: length"
        assert sim.frames() == [PROBE]

    @pytest.mark.parametrize(
        "noise",
        [
            b"\x00\x13\xff",  # line noise before a frame
            CHASSIS[:6],  # a frame cut short, then a whole one
            CHASSIS[:-1] + b"\x00",  # a frame with a bad checksum right before a good one
            b"\x55\x0e\x55",  # a header inside the noise
        ],
        ids=["noise", "truncated", "bad checksum", "header in noise"],
    )
    def test_good_frame_after_noise_is_found(self, sim, port, noise):
        good = frame(3, 2, bytes([1, 50]))
        assert exchange(port, noise + good) == reply_for(3, 2)
        assert_next_reply_is_probes(port)
        assert sim.frames() == [good, PROBE]
        assert sim.wait_trace("servo") == "servo id=1 duty=50"


class TestFaults:
    def test_noreply_drops_one_reply_only(self, sim, port):
        sim.inject("noreply")
        port.write(CHASSIS)
        assert_next_reply_is_probes(port)
        assert exchange(port, CHASSIS) == reply_for(1, 1)
        st = sim.state()
        assert (st["commands"], st["replies"], st["faults_pending"]) == (3, 2, 0)

    def test_badsum_is_off_by_one(self, sim, port):
        sim.inject("badsum")
        reply = exchange(port, CHASSIS)
        good = reply_for(1, 1)
        assert reply[:-1] == good[:-1]
        assert reply[-1] == (good[-1] + 1) & 0xFF

    def test_badheader_keeps_a_matching_checksum(self, sim, port):
        sim.inject("badheader")
        reply = exchange(port, CHASSIS)
        assert len(reply) == 14
        assert reply[0] != 0x55
        assert reply[1:-1] == reply_for(1, 1)[1:-1]
        assert checksum_ok(reply)

    @pytest.mark.parametrize("length", [None, 2, 9, 13])
    def test_short_reply_is_checksum_valid(self, sim, port, length):
        sim.set_inputs(3)
        sim.inject("short", arg=length)
        reply = exchange(port, CHASSIS, size=length or 4)
        assert_next_reply_is_probes(port, inputs=3)
        assert reply[0] == 0x55
        assert reply[:-1] == reply_for(1, 1, inputs=3)[: len(reply) - 1]
        assert checksum_ok(reply)

    def test_split_reply_arrives_in_two_parts(self, sim, port):
        sim.inject("split", arg=500)
        port.write(CHASSIS)
        first = port.read(7)
        # The second part is a timer, not a sleep: the simulator still answers meanwhile, and
        # has not sent it yet.
        assert sim.ping()
        assert port.in_waiting == 0
        assert first + port.read(7) == reply_for(1, 1)

    def test_delayed_reply_does_not_block_the_simulator(self, sim, port):
        sim.inject("delay", arg=500)
        port.write(CHASSIS)
        # Answered while the reply waits on its timer; a sleeping simulator would have written
        # the reply before it got to the request.
        assert sim.ping()
        assert port.in_waiting == 0
        assert port.read(14) == reply_for(1, 1)

    def test_garbage_follows_the_reply_and_is_flushed(self, sim, port):
        sim.inject("garbage", arg=5)
        assert exchange(port, CHASSIS) == reply_for(1, 1)
        assert port.in_waiting == 5
        port.reset_input_buffer()
        assert exchange(port, frame(2, 2)) == reply_for(2, 2)

    def test_faults_apply_in_order_and_count_down(self, sim, port):
        sim.inject("badsum", count=2)
        sim.inject("short", arg=5)
        assert not checksum_ok(exchange(port, CHASSIS))
        assert not checksum_ok(exchange(port, CHASSIS))
        assert checksum_ok(exchange(port, CHASSIS, size=5))
        assert_next_reply_is_probes(port)
        assert sim.state()["faults_pending"] == 0

    def test_fault_shows_in_the_trace(self, sim, port):
        sim.inject("delay", arg=10)
        exchange(port, CHASSIS)
        assert next_trace(sim) == "chassis speed_s=50 speed_l=0 speed_h=0 [fault delay 10]"

    def test_clear_faults(self, sim, port):
        sim.inject("noreply", count=3)
        sim.clear_faults()
        assert exchange(port, CHASSIS) == reply_for(1, 1)

    @pytest.mark.parametrize(
        "request_",
        [
            "fault sometimes",
            "fault badsum 0",
            "fault noreply 1 5",
            "fault short 1 14",
            "fault short 1 1",
            "fault delay 1 -5",
            "fault garbage x",
            "inputs 256",
            "inputs five",
            "distance 65536",
            "distance -1",
            "frames please",
            "teleport",
        ],
    )
    def test_bad_requests_are_refused_and_change_nothing(self, sim, request_):
        before = sim.state()
        with pytest.raises(BoardSimError):
            sim.request(request_)
        assert sim.state() == before


class TestControl:
    def test_frames_readback_and_clear(self, sim, port):
        cmds = [frame(1, 1, args16(-5)), frame(2, 2, b"\x01"), frame(9, 9)]
        for c in cmds:
            exchange(port, c)
        assert sim.frames() == cmds
        sim.clear()
        assert sim.frames() == []
        exchange(port, CHASSIS)
        assert sim.frames() == [CHASSIS]

    def test_clients_come_and_go(self, sim):
        def connect():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(2)
            s.connect(sim.control_path)
            return s

        def recv_lines(s, n):
            buf = b""
            while buf.count(b"\n") < n:
                chunk = s.recv(4096)
                assert chunk, "control socket closed"
                buf += chunk
            return buf.decode().splitlines()

        for _ in range(3):
            with connect() as s:
                s.sendall(b"ping\n")
                assert recv_lines(s, 1) == ["pong"]
        # Two at once, one of them sending requests back to back in one write.
        with connect() as a, connect() as b:
            a.sendall(b"distance 77\nping\nstate\n")
            b.sendall(b"ping\n")
            assert recv_lines(b, 1) == ["pong"]
            lines = recv_lines(a, 3)
            assert lines[:2] == ["ok", "pong"]
            assert "distance=77" in lines[2].split()
        assert sim.state()["distance"] == 77

    def test_reset_returns_to_the_state_at_start(self, sim, port):
        fresh = sim.state()
        sim.set_inputs(5)
        sim.set_distance(42)
        sim.inject("noreply", 3)
        exchange(port, CHASSIS)
        sim.reset()
        assert sim.frames() == []
        after = sim.state()
        assert after.pop("traces") > fresh.pop("traces")  # the trace counter goes on
        assert after == fresh
        assert exchange(port, CHASSIS) == reply_for(1, 1)

    def test_control_path_is_only_replaced_when_it_is_a_stale_socket(self, tmp_path):
        def start(path):
            return subprocess.run(
                [find_binary(), "--control", str(path)], input=b"", capture_output=True, timeout=10
            )

        notes = tmp_path / "notes.txt"
        notes.write_text("mine")
        run = start(notes)
        assert run.returncode != 0 and b"not a socket" in run.stderr
        assert notes.read_text() == "mine"

        stale = tmp_path / "stale.sock"
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(stale))  # bound, never listening: nobody answers
        live = BoardSim().start()
        try:
            run = start(live.control_path)
            assert run.returncode != 0 and b"another simulator" in run.stderr
            assert live.ping()
            proc = subprocess.Popen(
                [find_binary(), "--control", str(stale), "--quit-on-eof"],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
            )
            try:
                assert proc.stdout.readline().startswith(b"PTY /dev/")
            finally:
                proc.stdin.close()
                assert proc.wait(timeout=5) == 0
                proc.stdout.close()
        finally:
            live.stop()

    @pytest.mark.parametrize("ask", ["quit", signal.SIGTERM, signal.SIGINT], ids=str)
    def test_quit_or_a_signal_exits_cleanly_and_removes_the_socket(self, ask):
        s = BoardSim().start()
        try:
            if ask == "quit":
                assert s.request("quit") == "ok"
            else:
                s.send_signal(ask)
            assert s.wait(timeout=5) == 0
            assert not os.path.exists(s.control_path)
        finally:
            s.stop()

    def test_end_of_input_exits_when_asked(self):
        # What a parent that died without stopping the simulator looks like from its side.
        proc = subprocess.Popen(
            [find_binary(), "--quit-on-eof"], stdin=subprocess.PIPE, stdout=subprocess.PIPE
        )
        try:
            assert proc.stdout.readline().startswith(b"PTY /dev/")
            proc.stdin.close()
            assert proc.wait(timeout=5) == 0
        finally:
            proc.kill()
            proc.wait()
            proc.stdout.close()


class TestPtyClients:
    def test_sequential_opens_and_closes(self, sim):
        for i in range(4):
            with serial.Serial(sim.port, 115200, timeout=1) as p:
                cmd = frame(1, 1, args16(i))
                assert exchange(p, cmd) == reply_for(1, 1)
        assert sim.state()["commands"] == 4
        assert sim.returncode is None

    def test_port_is_raw_without_client_settings(self, sim):
        # A client that sets no terminal modes (unlike pyserial) must still get bytes through
        # untouched: CR, LF, ^C, ^D, XON/XOFF in the command, CR in the reply (inputs=0x0d).
        cmd = frame(2, 3, bytes([0x0D, 0x0A, 0x03, 0x04, 0x11, 0x13]))
        sim.set_inputs(0x0D)
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(fd, cmd)
            reply = b""
            while len(reply) < 14 and select.select([fd], [], [], 1)[0]:
                reply += os.read(fd, 14 - len(reply))
        finally:
            os.close(fd)
        assert reply == reply_for(2, 3, inputs=0x0D)
        assert sim.frames() == [cmd]


class TestBoardLink:
    def test_redirect_swaps_only_the_board_port(self, sim):
        real = serial.Serial
        with sim.redirect_serial():
            with serial.Serial(BOARD_PORT, 9600, timeout=1) as p:
                assert (p.port, p.baudrate, p.timeout) == (sim.port, 9600, 1)
                assert exchange(p, CHASSIS) == reply_for(1, 1)
            late = serial.Serial()
            late.port = BOARD_PORT
            assert late.port == sim.port
            other = serial.Serial(None, 19200)
            other.port = "/dev/ttyUSB7"
            assert (other.port, other.baudrate) == ("/dev/ttyUSB7", 19200)
            with pytest.raises(serial.SerialException, match="ttyS99"):
                serial.Serial("/dev/ttyS99")
            assert isinstance(late, real)
        assert serial.Serial is real

    def test_redirect_restored_after_an_error(self, sim):
        real = serial.Serial
        with pytest.raises(KeyError):
            with sim.redirect_serial():
                raise KeyError
        assert serial.Serial is real

    def test_board_fixture(self, board):
        board.set_distance(42)
        with serial.Serial(BOARD_PORT, 115200, timeout=1) as p:
            assert exchange(p, frame(4, 1, b"\x02")) == reply_for(4, 1, distance=42)
        assert board.frames() == [frame(4, 1, b"\x02")]
        assert board.wait_trace("ultrasonic") == "ultrasonic id=2 distance=42"

    def test_explicit_binary_setting_must_exist(self, monkeypatch, tmp_path):
        monkeypatch.setenv("ZELK_BOARD_SIM", str(tmp_path / "missing"))
        with pytest.raises(BoardSimError, match="ZELK_BOARD_SIM"):
            find_binary()

    def test_run_on_sim(self, tmp_path):
        """The launcher's program runs as __main__ and its raw frames reach the simulator of
        the demonstration world (an obstacle 100 cm ahead); its arguments, exit status and
        trace are the launcher tests' part."""
        program = tmp_path / "drive.py"
        program.write_text(
            textwrap.dedent(f"""
            import serial
            port = serial.Serial({BOARD_PORT!r}, 115200, timeout=1)
            port.write(bytes.fromhex({CHASSIS.hex()!r}))
            print("reply", port.read(14).hex(), __name__)
        """)
        )
        out = run_on_sim(program, timeout=30)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines() == [f"reply {reply_for(1, 1, distance=100).hex()} __main__"]
