#!/usr/bin/env bash
# The three modules and the board simulator built with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc), and the test suite run against that build: any sanitizer
# report, in the test process or in any program it starts, fails the check.
#
#   scripts/check-sanitizers.sh [PYTEST ARGS...] [TEST FILES...]   (the whole suite when no file
#   is named; not under flock: it takes the lock itself)
#
# What it makes, all under build/sanitizers/ (never .venv, never build/ of pip's own builds):
#   venv/        a virtual environment of Debian's /usr/bin/python3 with the system site
#                packages, laid out as .venv is: the package installed by pip as set-up does
#                (control_zelk and zelk_run in site-packages, zelk-board-sim and the
#                launchers in bin/). The PyPI packages (pytest, imutils, ...) come from .venv
#                through a .pth line after its own site-packages, so this environment's
#                control_zelk and zelk_run are the ones imported.
#   cp3*-*/      the sanitized CMake build tree (kept: later runs are incremental)
#   test-hooks/  the tests' own module (zelk_test_hooks), sanitized too
#   logs/        the sanitizer reports of the last run, one file per reporting process
#
# How Python runs the sanitized modules: the interpreter itself is not instrumented, so
# gcc's ASan runtime (libasan) is preloaded into it (ASan must be the first library of the
# process), with libubsan beside it. PYTHONMALLOC=malloc makes Python allocate its objects with
# malloc, so ASan also sees our code reading or freeing a Python object (an array, a frame,
# a str) that was already freed. The environment is inherited by every process the tests
# start (learner programs through the launchers, `python -c` probes, the simulator, which is
# itself built with the sanitizers), and every report goes to a file in logs/, so a report
# from a child process fails the check even when the test that started it only looked at
# its output.
#
# What runs: the whole suite except tests/test_web_view_browser.py. Those drive Debian's
# chromium through chromedriver, which would inherit the preloaded ASan runtime (chromium is
# not built for it); the web view's server and the learner programs behind it are the same
# Python code and modules that tests/test_web_view.py runs here.
#
# Sanitizer options (see the comments in sanitizer_options below for each one):
# leak detection is off, since CPython leaves most of its objects unreleased at exit and each
# would be reported as a leak.
#
# Suppressions: tests/sanitizers/asan.supp and ubsan.supp, only for reports inside Python,
# NumPy or OpenCV themselves, each with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
LOCK=${ZELK_BUILD_LOCK:-/tmp/zelk-build.lock}
B=build/sanitizers
VENV=$REPO/$B/venv
LOGS=$REPO/$B/logs
SUPP=$REPO/tests/sanitizers
SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
start=$SECONDS

say() { echo "check-sanitizers: $*"; }
elapsed() { local s=$((SECONDS - start)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
# Runs a command under the build lock; $TIMES gets a line with how long it ran once it had
# the lock (a file: the suite runs in a pipeline's subshell).
TIMING=$(mktemp)
TIMES=$(mktemp)
export TIMING
trap 'rm -f "$TIMING" "$TIMES"' EXIT
locked() {
  local what=$1
  shift
  flock "$LOCK" nice -n 10 bash -c 'start=$SECONDS; "$@"; status=$?
    echo "$((SECONDS - start))" >"$TIMING"; exit $status' locked "$@"
  local status=$?
  echo "$what $(($(cat "$TIMING") / 60))m$(printf %02d $(($(cat "$TIMING") % 60)))s" >>"$TIMES"
  return $status
}

# Debian's packages (g++ brings gcc's sanitizer runtimes: libasan8 and libubsan1 through
# libgcc-N-dev), and .venv with the PyPI packages the tests use.
locked set-up scripts/setup.sh --tests

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
  # -print-file-name prints the bare name when it finds no such file.
  [[ $lib == /* && -e $lib ]] || { say "FAILED: g++ has no sanitizer runtime ($lib)" >&2; exit 1; }
done
libasan=$(readlink -f "$libasan")
libubsan=$(readlink -f "$libubsan")

if [[ ! -x $VENV/bin/python ]]; then
  say "creating $B/venv"
  /usr/bin/python3 -m venv --system-site-packages "$VENV"
fi
dev_site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
san_site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$dev_site" >"$san_site/zelk-dev-packages.pth"

# The build: pip and scikit-build-core as set-up uses them (so the same install layout), with
# the sanitizers on every compile and link, -O1 -g for readable stacks, assertions kept (no
# NDEBUG), and nothing stripped.
say "building with $SAN_FLAGS"
export CMAKE_BUILD_PARALLEL_LEVEL=2
locked build "$VENV/bin/python" -m pip install -q \
  --disable-pip-version-check --no-build-isolation --no-deps \
  --config-settings="build-dir=$B/{wheel_tag}" \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings="cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" \
  --config-settings="cmake.define.CMAKE_CXX_FLAGS=$SAN_FLAGS" \
  --config-settings="cmake.define.CMAKE_EXE_LINKER_FLAGS=$SAN_FLAGS" \
  --config-settings="cmake.define.CMAKE_MODULE_LINKER_FLAGS=$SAN_FLAGS" \
  --config-settings=install.strip=false \
  .

# The installed files must be the sanitized ones, found where the tests look for them.
"$VENV/bin/python" - "$VENV" <<'EOF'
import glob, os, subprocess, sys
venv = sys.argv[1]
import control_zelk
pkg = os.path.dirname(control_zelk.__file__)
assert pkg.startswith(venv), f"control_zelk imported from {pkg}, not from {venv}"
for path in glob.glob(os.path.join(pkg, "*.so")) + [os.path.join(venv, "bin", "zelk-board-sim")]:
    libs = subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout
    assert "libasan" in libs and "libubsan" in libs, f"{path} is not built with the sanitizers"
import zelk_run
assert zelk_run.__file__.startswith(venv), f"zelk_run imported from {zelk_run.__file__}"
EOF

# The tests' own module, with the same flags.
if [[ ! -f $B/test-hooks/CMakeCache.txt ]]; then
  cmake -S . -B "$B/test-hooks" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS="$SAN_FLAGS" \
    -DCMAKE_MODULE_LINKER_FLAGS="$SAN_FLAGS" -DZELK_TEST_HOOKS=ON \
    -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
fi
locked test-hooks cmake --build "$B/test-hooks" --target zelk_test_hooks
export ZELK_TEST_HOOKS=$REPO/$B/test-hooks

sanitizer_options() {
  local common="halt_on_error=1:abort_on_error=1:print_summary=1"
  # abort_on_error: a report ends the process with SIGABRT, which faulthandler and the tests
  #   see as a crash (not an ordinary exit status 1 a test might take for the program's own).
  # log_path: each reporting process writes its report to logs/KIND.PID, whoever started it.
  # detect_leaks=0: CPython does not free its objects at exit; every one would be a "leak".
  # allocator_may_return_null=1: an impossible allocation fails as under glibc (NumPy and
  #   OpenCV turn it into MemoryError / cv2.error) instead of being reported.
  # max_allocation_size_mb: any one allocation above 3 GiB fails that way too. The hostile-input
  #   test caps its child's address space for this outside the check, which ASan cannot live
  #   with (its shadow memory alone reserves terabytes of address space).
  # handle_segv etc. (defaults): a crash in any process is reported with its native stack.
  ASAN_OPTIONS="$common:log_path=$LOGS/asan:detect_leaks=0:allocator_may_return_null=1"
  ASAN_OPTIONS+=":max_allocation_size_mb=3072"
  ASAN_OPTIONS+=":strict_string_checks=1:check_initialization_order=1:strict_init_order=1"
  ASAN_OPTIONS+=":detect_stack_use_after_return=1"
  UBSAN_OPTIONS="$common:log_path=$LOGS/ubsan:print_stacktrace=1"
  ASAN_OPTIONS+=":suppressions=$SUPP/asan.supp"
  UBSAN_OPTIONS+=":suppressions=$SUPP/ubsan.supp"
  export ASAN_OPTIONS UBSAN_OPTIONS
}

rm -rf "$LOGS"
mkdir -p "$LOGS"
sanitizer_options
say "running the suite (preloaded: $libasan $libubsan)"
status=0
run_tests() {
  export QT_QPA_PLATFORM=offscreen PYTHONMALLOC=malloc PYTHONFAULTHANDLER=1
  local python=(env LD_PRELOAD="$libasan:$libubsan" "$VENV/bin/python")
  # The whole suite, unless the arguments name test files or folders of their own.
  local targets=(tests) arg
  for arg in "$@"; do
    if [[ -e $arg ]]; then targets=(); fi
  done
  local pytest=("${python[@]}" -m pytest -q -p no:cacheprovider
                --ignore=tests/test_web_view_browser.py "$@" "${targets[@]}")
  if [[ -z ${DISPLAY:-} ]]; then
    # Only pytest and what it starts get the runtime, not the X server.
    locked suite xvfb-run -a -s "-screen 0 1280x1024x24" "${pytest[@]}"
  else
    locked suite "${pytest[@]}"
  fi
}
run_tests "$@" 2>&1 | tee "$LOGS/.suite-output" || status=$?
# A report that reached the output instead of logs/ (UBSan has been seen writing to stderr
# rather than to its log_path, from a thread at interpreter exit) counts as well.
if grep -qE 'runtime error:|ERROR: AddressSanitizer|UndefinedBehaviorSanitizer' \
     "$LOGS/.suite-output"; then
  grep -E 'runtime error:|ERROR: AddressSanitizer|UndefinedBehaviorSanitizer' \
    "$LOGS/.suite-output" | sort -u >"$LOGS/in-suite-output"
fi
rm -f "$LOGS/.suite-output"

reports=("$LOGS"/*)
if [[ -e ${reports[0]} ]]; then
  for r in "${reports[@]}"; do
    echo "===== $(basename "$r")"
    cat "$r"
  done
  say "FAILED: ${#reports[@]} sanitizer report(s) above (files in $B/logs)" >&2
  ((status)) || status=1
elif ((status)); then
  say "FAILED: the suite failed under the sanitizers (no sanitizer report)" >&2
else
  say "passed, no sanitizer report"
fi
say "$(paste -sd" " "$TIMES"), in all $(elapsed) with the waits for the lock ($(g++ -dumpfullversion), $(/usr/bin/python3 -V))"
exit "$status"
