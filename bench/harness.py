"""Side-by-side timing: a native operation against a plain-Python transcription of the
same steps, in one process, on the same inputs. Reports medians and their ratio."""

import statistics
import time


def median_seconds(fn, inputs, repeat):
    """Median wall time of fn(x) over `repeat` passes through `inputs`."""
    times = []
    for _ in range(repeat):
        for x in inputs:
            t0 = time.perf_counter()
            fn(x)
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


def compare(name, native, python, inputs, repeat=20, warmup=2):
    """Times native and python alternately (so machine noise hits both alike) and prints
    one table row. Returns (native_s, python_s, ratio)."""
    for _ in range(warmup):
        for x in inputs:
            native(x)
            python(x)
    nat, pyt = [], []
    for _ in range(repeat):
        nat.append(median_seconds(native, inputs, 1))
        pyt.append(median_seconds(python, inputs, 1))
    n, p = statistics.median(nat), statistics.median(pyt)
    ratio = p / n if n > 0 else float("inf")
    print(f"| {name:<32} | {n * 1e3:9.3f} ms | {p * 1e3:9.3f} ms | {ratio:6.2f}x |", flush=True)
    return n, p, ratio


def header(title):
    print(f"\n{title}")
    print(f"| {'operation':<32} | {'native':>12} | {'python':>12} | {'ratio':>7} |")
    print(f"|{'-' * 34}|{'-' * 14}|{'-' * 14}|{'-' * 9}|", flush=True)


def rss_kib():
    """Resident set size of this process in KiB (Linux)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
