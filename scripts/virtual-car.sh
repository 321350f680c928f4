#!/usr/bin/env bash
# Watch a learner's program drive the virtual car in a browser: set-up as needed, then the
# line-following example laps the line track while http://127.0.0.1:8765/ shows its camera
# window, the world from above, the board's trace and a stop button. Ctrl-C (or Stop) ends it.
#   scripts/virtual-car.sh                       the line follower on the line track
#   scripts/virtual-car.sh OPTIONS PROGRAM.py    any program, with zelk-run-on-sim's options,
#                                                e.g. --world arena examples/18_follow_the_ball.py
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if (($# == 0)); then
  set -- --world line-track examples/19_lap_the_track.py
fi
exec .venv/bin/zelk-run-on-sim --web "$@"
