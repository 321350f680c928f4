import os
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "sim"))


def pytest_configure(config):
    import control_zelk

    # The tests are about the built package; the source folder holds C++ only.
    src = os.path.join(REPO, "control_zelk")
    if os.path.dirname(os.path.abspath(control_zelk.__file__)) == src:
        pytest.exit("control_zelk was imported from the source tree, not the installed package")
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
