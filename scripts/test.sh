#!/usr/bin/env bash
# Runs the whole test suite against the installed package (set-up first, as needed).
# Windows need a display: without one the suite runs on a virtual X screen.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" .venv/bin/python -m pytest -q "$@" tests
fi
exec .venv/bin/python -m pytest -q "$@" tests
