#!/usr/bin/env bash
# The main job: a short learner program that drives the car. By default it runs against
# the built-in board simulator (its trace lines start with "[board]"); with --car it runs
# on the real controller board at /dev/ttyAMA0.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [[ ${1:-} == --car ]]; then
  exec .venv/bin/python demo/drive_demo.py
fi
exec .venv/bin/python sim/run_on_sim.py demo/drive_demo.py
