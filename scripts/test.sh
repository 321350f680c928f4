#!/usr/bin/env bash
# Runs the whole test suite against the installed package (set-up first, as needed).
# Windows need a display: without one the suite runs on a virtual X screen.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
# Lint and format (a few seconds): ruff over the Python files, clang-format over the C++.
scripts/check-style.sh
# The tests' own module (zelk_test_hooks), in a build folder of its own: pip's build never makes it.
if [[ ! -f build/test-hooks/CMakeCache.txt ]]; then
  cmake -S . -B build/test-hooks -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_TEST_HOOKS=ON \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
fi
cmake --build build/test-hooks --target zelk_test_hooks
export QT_QPA_PLATFORM=offscreen
# The whole suite, unless the arguments name test files or folders of their own.
targets=(tests)
for arg in "$@"; do
  if [[ -e $arg ]]; then targets=(); fi
done
if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" .venv/bin/python -m pytest -q "$@" "${targets[@]}"
fi
exec .venv/bin/python -m pytest -q "$@" "${targets[@]}"
