"""Runs control_zelk.optik1 as the main program, that is its demonstration f4.

A native module cannot be started with ``python3 -m control_zelk.optik1``; this launcher
is installed beside it for that purpose:

    python3 -m control_zelk.optik1_main
"""

import sys

from control_zelk import optik1


def main():
    demo = getattr(optik1, "f4", None)
    if demo is None:
        sys.exit("control_zelk.optik1: the demonstration f4 is not available in this version.")
    demo()


if __name__ == "__main__":
    main()
