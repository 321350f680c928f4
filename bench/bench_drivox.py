"""Per-command cost of Drivox_1 against the board simulator, side by side with a
plain-Python transcription of the same call chain over the same pseudo-terminal.

    .venv/bin/python bench/bench_drivox.py [commands]

CPU time is this process's (time.process_time), so the time spent waiting for the reply
is not counted; the simulator runs in its own process. "pyserial only" is the floor: the
same write, read and flush with no library code around them. pyserial's own cost varies a
lot from run to run, so a second table times the library code alone, on an in-process port
that answers at once."""

import contextlib
import os
import sys
import time

import serial  # noqa: E402

from zelk_run.board_link import BoardSim


class PyCar:
    """The call chain car_go -> Chassis_exe -> set_id -> sendCmd / recieveAck in Python."""

    def __init__(self):
        self.ser = serial.Serial("/dev/ttyAMA0", 115200, timeout=5)
        self.id_list = [1, 1, 0, 0, 0, 0]

    def sendCmd(self, cmd_type=0, cmd_id=0, arg1=0, arg2=0, arg3=0, arg4=0):
        args = [a + 65535 if a < 0 else a for a in (arg1, arg2, arg3, arg4)]
        split = []
        for a in args:
            split += [int(a / 256), int(a % 256)]
        checksum = 85 + 14 + cmd_type + cmd_id + sum(split) + 0
        data = b"%c%c%c%c%c%c%c%c%c%c%c%c%c%c" % (
            85,
            14,
            cmd_type % 256,
            cmd_id % 256,
            *split,
            0,
            checksum % 256,
        )
        self.ser.write(data)

    def correctMsg(self, msg):
        if msg is None or msg[0] != 85:
            return 0
        if msg[-1] != sum(msg[:-1]) % 256:
            return 0
        print("数据校验正确！")
        return 1

    def recieveAck(self):
        try:
            recv = self.ser.read(14)
            self.ser.flushInput()
            if self.correctMsg(recv):
                return recv
            print("异常：收到数据有误")
        except Exception as e:
            print("没有收到底层ack应答", e)
        return None

    def set_id(self):
        self.sendCmd(*self.id_list)
        print(self.id_list)
        return self.recieveAck()

    def Chassis_exe(self, speed_s=0, speed_l=0, speed_h=0):
        self.id_list[2:5] = [speed_s, speed_l, speed_h]
        self.set_id()
        print("1")

    def car_go(self, car_sp=0):
        self.Chassis_exe(speed_s=car_sp)


class RawLink:
    def __init__(self):
        self.ser = serial.Serial("/dev/ttyAMA0", 115200, timeout=5)
        self.frame = bytes.fromhex("55 0E 01 01 00 1E 00 00 00 00 00 00 00 83")

    def car_go(self, _):
        self.ser.write(self.frame)
        self.ser.read(14)
        self.ser.flushInput()


def measure(car, n):
    """(CPU µs per call, calls per second)."""
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        for _ in range(20):
            car.car_go(30)
        cpu0, wall0 = time.process_time(), time.perf_counter()
        for i in range(n):
            car.car_go(i % 100)
        cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    return cpu / n * 1e6, n / wall


class InstantPort:
    """A port that takes any frame and answers with a valid reply at once."""

    REPLY = bytes.fromhex("550e010100000000000000000065")

    def __init__(self, *args, **kwargs):
        pass

    def write(self, data):
        return len(data)

    def read(self, size):
        return self.REPLY

    def flushInput(self):
        pass

    def close(self):
        pass


def library_only(n, rounds=5):
    """µs of CPU per car_go with the port taking no time, median of interleaved rounds."""
    from control_zelk.Drivox_1 import Car

    real = serial.Serial
    serial.Serial = InstantPort
    try:
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            cars = {"control_zelk.Drivox_1": Car(), "plain Python": PyCar()}
        times = {name: [] for name in cars}
        for _ in range(rounds):
            for name, car in cars.items():
                times[name].append(measure(car, n)[0])
    finally:
        serial.Serial = real
    return {name: sorted(t)[len(t) // 2] for name, t in times.items()}


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    from control_zelk.Drivox_1 import Car

    with BoardSim() as sim, sim.redirect_serial():
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            cars = {
                "control_zelk.Drivox_1": Car(),
                "plain Python": PyCar(),
                "pyserial only": RawLink(),
            }
        results = {}
        for _ in range(3):  # interleaved rounds; the best round of each counts
            for name, car in cars.items():
                cpu, rate = measure(car, n)
                best = results.get(name, (float("inf"), 0))
                results[name] = (min(best[0], cpu), max(best[1], rate))
    floor = results["pyserial only"][0]
    print(f"Car.car_go against the board simulator, {n} commands per round, best of 3")
    heads = f"{'CPU µs/command':>14} | {'over pyserial':>13} | {'commands/s':>10}"
    print(f"| {'implementation':<22} | {heads} |")
    print(f"|{'-' * 24}|{'-' * 16}|{'-' * 15}|{'-' * 12}|")
    for name, (cpu, rate) in results.items():
        print(f"| {name:<22} | {cpu:14.1f} | {cpu - floor:13.1f} | {rate:10.0f} |")
    print("A 14-byte frame takes 1215 µs on the wire at 115200 baud (10 bits per byte).")
    print(
        "\nThe library code alone (port answering at once),",
        f"{n * 5} commands per round, median of 5",
    )
    alone = library_only(n * 5)
    print(f"| {'implementation':<22} | {'CPU µs/command':>14} |")
    print(f"|{'-' * 24}|{'-' * 16}|")
    for name, cpu in alone.items():
        print(f"| {name:<22} | {cpu:14.2f} |")


if __name__ == "__main__":
    main()
