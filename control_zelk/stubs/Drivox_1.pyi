"""Controller board of the robot car: command frames over the serial line."""

import time as time
from collections.abc import Sequence
from typing import Any

import serial as serial

case_dict: dict[str, int]
"""Device family name -> type code (frame byte 2)."""
Chassis_dict: dict[str, int]
"""Chassis function name -> function code (frame byte 3)."""
Io_dict: dict[str, int]
"""IO function name -> function code."""
Motor_dict: dict[str, int]
"""Motor function name -> function code."""
Sensor_dict: dict[str, int]
"""Sensor function name -> function code."""
Conpound_dict: dict[str, int]
"""Compound-function name -> function code."""

class MySerial:
    """One serial connection to the controller board and its 14-byte frames."""

    device: str
    baud: int
    ser: serial.Serial
    def __init__(self, device: str = "/dev/ttyAMA0", baud: int = 115200) -> None:
        """Stores device and baud, then opens the port (5 s read time-out)."""
    def __del__(self) -> None:
        """Closes the port."""
    def serialOpen(self) -> None:
        """Opens the port again if it is closed."""
    def writeMsg(self, sendmsg: bytes | bytearray) -> None:
        """Writes the bytes sendmsg to the port."""
    def recvMsg(self, count: int = 14) -> bytes:
        """Reads up to count bytes (5 s time-out) and discards whatever else is waiting."""
    def correctMsg(self, msg: Sequence[int] | None) -> int:
        """1 when msg starts with 0x55 and ends with the sum of the bytes before it, else 0."""
    def sendCmd(
        self,
        cmd_type: int = 0,
        cmd_id: int = 0,
        arg1: float = 0,
        arg2: float = 0,
        arg3: float = 0,
        arg4: float = 0,
    ) -> None:
        """Writes one 14-byte command frame (four 16-bit arguments, negative ones as 65535 + v)."""
    def recieveAck(self) -> bytes | None:
        """The board's reply when it is valid, else None (after printing why)."""

class Id(MySerial):
    """A device: its command list id_list = [type, function, arg1..arg4] and the port."""

    id_list: list[Any]
    name: int
    classes: int
    def __init__(self, id_list: list[Any]) -> None:
        """Opens the port and keeps id_list (the caller's list, extended by four zeros)."""
    def set_id(self) -> bytes | None:
        """Sends id_list as one frame and returns the board's reply, or None."""

class Chassis(Id):
    """The car's chassis (type code 1)."""

    dic: dict[str, int]
    type: int
    func: int
    def __init__(self, c_function: str, c_type: int = 1) -> None: ...
    def Chassis_exe(self, speed_s: float = 0, speed_l: float = 0, speed_h: float = 0) -> None:
        """Sends the forward, sideways and turning speeds (negative reverses)."""

class Io(Id):
    """Digital inputs and outputs and PWM (type code 2)."""

    dic: dict[str, int]
    type: int
    func: int
    ouput_io: int
    """Output bit mask, one bit per output channel."""
    pwm_freq: float
    pwm1_duty: float
    pwm2_duty: float
    pwm3_duty: float
    pwm4_duty: float
    def __init__(self, c_function: str, c_type: int = 2) -> None: ...
    def readIos(self) -> int | None:
        """The input levels (bit n = input n), or None without a reply."""
    def readIo(self, bit: int) -> int | None:
        """The level (0 or 1) of input bit, or None without a reply."""
    def output(self, iocom: int, level: int) -> None:
        """Sets (level 1) or clears (level 0) output iocom and sends the mask."""
    def pwmOutput(self, pwmcom: int = 0, freq: float = 0, duty: float = 0) -> None:
        """Sets the frequency and the duty of PWM channel pwmcom (0..3) and sends them."""

class Motor(Id):
    """DC motor and steering servo (type code 3)."""

    dic: dict[str, int]
    type: int
    func: int
    def __init__(self, c_function: str, c_type: int = 3) -> None: ...
    def cur_exe(self, id: int = 1, mode: int = 0, speed: float = 0, pulse: float = 0) -> None:
        """Runs DC motor id in mode at speed for pulse counts."""
    def steer_exe(self, id: int = 1, pwm: float = 0) -> None:
        """Sets the duty pwm of steering servo id."""

class Sensor(Id):
    """The ultrasonic sensor (type code 4)."""

    dic: dict[str, int]
    type: int
    func: int
    def __init__(self, c_function: str, c_type: int = 4) -> None: ...
    def ul_getDistance(self, sensorID: int) -> int | None:
        """The distance that sensor sensorID measures, or None without a reply."""

class Conpound(Id):
    """The line-tracking unit (type code 5)."""

    dic: dict[str, int]
    type: int
    func: int
    def __init__(self, c_function: str, c_type: int = 5) -> None: ...
    def line_track(self, start: int = 0, speed: float = 0) -> None:
        """Starts (start 1) or stops (start 0) the board's line tracking at speed."""

class Car(Chassis):
    """The car: drive, strafe, turn and stop."""

    def __init__(self) -> None: ...
    def car_go(self, car_sp: float = 0) -> None:
        """Drives forward at car_sp."""
    def car_back(self, car_sp: float = 0) -> None:
        """Drives backward at car_sp."""
    def car_across_l(self, car_sp: float = 0) -> None:
        """Moves sideways to the left at car_sp."""
    def car_across_r(self, car_sp: float = 0) -> None:
        """Moves sideways to the right at car_sp."""
    def car_turn_r(self, car_sp: float = 0) -> None:
        """Turns right at car_sp."""
    def car_turn_l(self, car_sp: float = 0) -> None:
        """Turns left at car_sp."""
    def car_stop(self) -> None:
        """Stops the car."""

class Use_io(Io):
    """One IO channel: digital input, digital output, PWM."""

    io_com: int
    io_data: int | None
    """Last single-input reading (set by Io_read)."""
    ios_data: int | None
    """Last all-inputs reading (set by Ios_read)."""
    def __init__(self, io_com: int) -> None: ...
    def Io_read(self) -> int | None:
        """Reads input io_com (< 8): 0, 1 or None."""
    def Ios_read(self) -> int | None:
        """Reads all inputs: the levels (bit n = input n) or None."""
    def Io_write(self, io_level: int = 0) -> None:
        """Sets output io_com (< 8) to io_level (1 on, 0 off)."""
    def pwm_use(self, pwm_freq: float = 0, pwm_duty: float = 0) -> None:
        """Sets PWM channel io_com (< 4) to pwm_freq (not 0) and pwm_duty (<= 100)."""

class Cur_motor(Motor):
    """A DC motor."""

    motor_id: int
    def __init__(self, motor_id: int) -> None: ...
    def Cur_go(self, cur_speed: float = 0, cur_pulse: float = 0) -> None:
        """Runs the motor forward at cur_speed for cur_pulse counts."""
    def Cur_back(self, cur_speed: float = 0, cur_pulse: float = 0) -> None:
        """Runs the motor backward at cur_speed for cur_pulse counts."""
    def Cur_stop(self) -> None:
        """Stops the motor."""

class Ste_motor(Motor):
    """A steering servo."""

    ste_id: int
    def __init__(self, ste_id: int) -> None: ...
    def Ste_exe(self, ste_duty: float = 0) -> None:
        """Sets the servo (ste_id not 0) to duty ste_duty (<= 100)."""

class Ul_sensor(Sensor):
    """An ultrasonic distance sensor."""

    ul_id: int
    def __init__(self, ul_id: int) -> None: ...
    def ul_get(self) -> int | None:
        """The distance measured by sensor ul_id (not 0), or None."""

class Line_track(Conpound):
    """The board's own line tracking."""

    def __init__(self) -> None: ...
    def l_start(self, l_sp: float = 0) -> None:
        """Starts line tracking at speed l_sp (not 0)."""
    def l_stop(self) -> None:
        """Stops line tracking."""

class time_count:
    """A stopwatch in seconds."""

    start_time: float
    end_time: float
    total_time: float
    def __init__(self) -> None: ...
    def start_count(self) -> None:
        """Sets start_time to the current time."""
    def end_count(self) -> None:
        """Sets end_time to the current time and total_time to the seconds since start_time."""

def main(num: int) -> None:
    """Demonstrates one device: 0 car, 1 IO and PWM, 2 DC motor, 3 servo, 4 ultrasonic, 5 line tracking."""
