"""Hostile input: seeded calls of every class, method, function and type of the three modules
with wrong types, dtypes, shapes and layouts, junk receivers, subclasses and module globals
(tests/hostile_calls.py makes and runs them). Each must return or raise an ordinary Python
exception: never crash or hang the interpreter, never raise SystemError or an error of the
binding layer.

The calls run in child interpreters, so a crash or a hang is reported as the exact call that
caused it, with the command that replays it. Environment:

    ZELK_HOSTILE_SEED     seed (default 20240611); every call is made from (seed, index)
    ZELK_HOSTILE_CALLS    calls to make (default 4000)
    ZELK_HOSTILE_SECONDS  no new call starts after this many seconds (default 40)

To shake out more locally: ZELK_HOSTILE_CALLS=50000 ZELK_HOSTILE_SECONDS=900 with a few seeds.
"""

import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest
from layout import TESTS

CHILD = os.path.join(TESTS, "hostile_calls.py")
HANG_SECONDS = 20  # one call; the slowest ordinary ones take well under a second


def campaign(seed, calls, seconds, workdir):
    """Runs calls 0..calls-1 (until `seconds` have passed), starting a new child after each
    crash or hang, and skipping from then on the target that caused it. Returns (faults,
    calls made); each fault is a dict: call, target, what, fault, and for a crash or hang the
    child's stderr."""
    faults, made, first, skip = [], 0, 0, []
    deadline = time.monotonic() + seconds
    while first < calls and time.monotonic() < deadline:
        read, write = os.pipe()
        with open(os.path.join(workdir, "stderr"), "w+") as err:
            child = subprocess.Popen(
                [
                    sys.executable,
                    CHILD,
                    "--seed",
                    str(seed),
                    "--first",
                    str(first),
                    "--count",
                    str(calls - first),
                    "--skip",
                    ",".join(skip),
                    "--seconds",
                    str(max(1.0, deadline - time.monotonic())),
                    "--hang-seconds",
                    str(HANG_SECONDS),
                    "--progress-fd",
                    str(write),
                    "--workdir",
                    workdir,
                ],
                pass_fds=(write,),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=err,
                env={**os.environ, "OPENCV_LOG_LEVEL": "ERROR"},
            )
            os.close(write)
            started, ended = None, False
            for event in events(read, child):
                if "call" in event:
                    started = event
                elif "done" in event:
                    made += 1
                    if event["fault"]:
                        faults.append(
                            {**started, "fault": event["fault"], "outcome": event["outcome"]}
                        )
                    started = None
                elif "end" in event:
                    ended = True
            status = child.wait()
            err.seek(0)
            stderr = err.read()
        if ended and status == 0:
            break
        if started is None:
            raise AssertionError(f"the harness itself failed (status {status}):\n{stderr[-3000:]}")
        how = (
            "hang"
            if "Timeout (" in stderr
            else f"crash ({signal.Signals(-status).name})"
            if status < 0
            else f"exit status {status}"
        )
        fatal = max(stderr.rfind("Fatal Python error"), stderr.rfind("Timeout ("), 0)
        faults.append(
            {**started, "fault": f"{how}; stderr:\n{stderr[fatal:][:2500]}", "outcome": how}
        )
        made += 1
        skip.append(started["target"])
        first = started["call"] + 1
    return faults, made


def events(fd, child):
    """The child's progress lines as dicts; kills a child that goes silent for longer than a
    hang takes it to end itself."""
    buffer = b""
    with os.fdopen(fd, "rb") as pipe:
        while True:
            if not select.select([pipe], [], [], HANG_SECONDS + 30)[0]:
                child.kill()
                return
            chunk = os.read(pipe.fileno(), 1 << 16)
            if not chunk:
                return
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            for line in lines:
                yield json.loads(line)


def replay_command(seed, call):
    return (
        f"{os.path.relpath(sys.executable)} {os.path.relpath(CHILD)} --seed {seed} "
        f"--first {call} --count 1 --verbose"
    )


def report(seed, faults):
    return "\n\n".join(
        f"{f['target']}: {f['fault']}\n  call {f['call']}: {f['what']}\n"
        f"  replay: {replay_command(seed, f['call'])}"
        for f in faults
    )


def test_hostile_calls_end_in_ordinary_exceptions(tmp_path):
    for needed in ("onnx", "qrcode"):  # the child's models and QR pictures
        pytest.importorskip(needed)
    seed = int(os.environ.get("ZELK_HOSTILE_SEED", "20240611"))
    calls = int(os.environ.get("ZELK_HOSTILE_CALLS", "4000"))
    seconds = float(os.environ.get("ZELK_HOSTILE_SECONDS", "40"))
    faults, made = campaign(seed, calls, seconds, str(tmp_path))
    print(f"seed {seed}: {made} hostile calls, {len(faults)} faults")
    assert made >= min(calls, 500), "too few calls in the time given"
    assert not faults, (
        f"{len(faults)} hostile calls went wrong (seed {seed}):\n\n{report(seed, faults)}"
    )
