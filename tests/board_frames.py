"""The controller board's frames, built byte for byte, for the tests that talk to the simulator
without the library: 0x55 0x0E, type, function, nine bytes of payload, then the checksum."""


def with_checksum(body):
    return body + bytes([sum(body) & 0xFF])


def checksum_ok(data):
    return len(data) >= 2 and data[-1] == sum(data[:-1]) & 0xFF


def args16(*values):
    """Signed 16-bit arguments the way the host sends them (negative v as 65535 + v)."""
    return b"".join((v + 65535 if v < 0 else v).to_bytes(2, "big") for v in values)


def frame(type_, function, payload=b""):
    """A command frame with `payload` in bytes 4.. (zero-filled through byte 12)."""
    assert len(payload) <= 9
    return with_checksum(bytes([0x55, 0x0E, type_, function]) + payload.ljust(9, b"\0"))


def reply_for(type_, function, inputs=0, distance=0):
    """The board's answer to a command: its type and function, the input levels in byte 4
    and the ultrasonic distance in bytes 5-6."""
    body = bytes([0x55, 0x0E, type_, function, inputs]) + distance.to_bytes(2, "big")
    return with_checksum(body.ljust(13, b"\0"))
