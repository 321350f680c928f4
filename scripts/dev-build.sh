#!/usr/bin/env bash
# Developer loop without touching .venv: builds the named targets in build/dev-NAME and
# stages them in build/dev-NAME/stage. Test the staged modules with
#   PYTHONPATH=build/dev-NAME/stage .venv/bin/pytest tests/...
# Usage: scripts/dev-build.sh NAME TARGET... (targets: Drivox_1 optik optik1 zelk-board-sim)
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
b=build/dev-$name
if [[ ! -f $b/CMakeCache.txt ]]; then
  cmake -S . -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
fi
cmake --build "$b" -j1 --target "$@"
mkdir -p "$b/stage/control_zelk" "$b/stage/bin"
cp control_zelk/package_init.py "$b/stage/control_zelk/__init__.py"
for t in "$@"; do
  if [[ $t == zelk-board-sim ]]; then cp "$b/sim/$t" "$b/stage/bin/"; else cp "$b/$t".*.so "$b/stage/control_zelk/"; fi
done
