#!/usr/bin/env bash
# The main job: learner programs that drive the car, follow a line with the camera, and show
# what the vision library sees (pictures saved into demo-output/).
# By default they run against the built-in board simulator (its trace lines start with
# "[board]") and a generated camera video; with --car on the real board and camera.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for program in demo/drive_demo.py demo/follow_demo.py demo/vision_demo.py; do
  echo "=== $program"
  if [[ ${1:-} == --car ]]; then
    .venv/bin/python "$program"
  else
    .venv/bin/zelk-run-on-sim "$program"
  fi
done
