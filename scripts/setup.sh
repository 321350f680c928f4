#!/usr/bin/env bash
# Brings this checkout to a runnable state, doing only what is still missing:
#   1. Debian packages (installed when run as root, otherwise the apt-get line is shown),
#   2. the virtual environment .venv (Debian's python3, with the system site packages),
#   3. the packages that come from PyPI, into it,
#   4. control_zelk built and installed into it (skipped when the sources are unchanged).
# Two groups: what the library, the launchers and the demo need (always), and with --tests what
# the tests and the lint checks add (a virtual screen, a browser for the page's tests, ...).
# Works alike on Debian 12 and 13 and on Raspberry Pi OS: where a Python module can come from
# either, the system's archive decides (Debian's package where it has one, PyPI otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

tests=0
if [[ ${1:-} == --tests ]]; then
  tests=1
elif (($#)); then
  echo "usage: scripts/setup.sh [--tests]" >&2
  exit 2
fi

# Where each dependency comes from, in one place, by group.
# Always Debian's: the tool chain, the libraries the modules link, and the Python modules that
# must match them (cv2 and the modules load the same OpenCV; cv2 was built against this NumPy);
# the face cascades the kit installs.
RUN_DEBIAN=(
  python3 python3-dev python3-venv python3-opencv libopencv-dev python3-numpy
  libzbar-dev pybind11-dev cmake ninja-build make g++ pkg-config opencv-data
)
# For the tests: a virtual screen, and a browser with the driver Selenium uses (Debian's
# chromium-driver matches its chromium).
TEST_DEBIAN=(xvfb xauth chromium chromium-driver python3-selenium)
# Debian's package where the archive has one, PyPI's otherwise: "debian-package pypi-name module".
# (Debian 13 has no python3-pyzbar: PyPI's pyzbar is pure Python and loads Debian's libzbar.)
# The demo draws its faces and QR codes with scikit-image's photos and qrcode.
RUN_EITHER=(
  "python3-serial pyserial serial"
  "python3-pyzbar pyzbar pyzbar"
  "python3-skimage scikit-image skimage"
  "python3-qrcode qrcode qrcode"
)
TEST_EITHER=("python3-onnx onnx onnx")
# Always PyPI's, into .venv: "pypi-requirement module". The lint tools are pinned: another
# release formats or reports differently.
RUN_PYPI=("imutils imutils" "scikit-build-core>=0.10 scikit_build_core")
TEST_PYPI=("pytest pytest" "mypy mypy" "ruff==0.14.14 ruff" "clang-format==19.1.7 clang_format")

DEBIAN_PACKAGES=("${RUN_DEBIAN[@]}")
EITHER_PACKAGES=("${RUN_EITHER[@]}")
PYPI_PACKAGES=("${RUN_PYPI[@]}")
if ((tests)); then
  DEBIAN_PACKAGES+=("${TEST_DEBIAN[@]}")
  EITHER_PACKAGES+=("${TEST_EITHER[@]}")
  PYPI_PACKAGES+=("${TEST_PYPI[@]}")
fi
PY=/usr/bin/python3
VENV=.venv

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
in_archive() {
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | awk '$1 == "Candidate:" {print $2}')
  [[ -n $candidate && $candidate != "(none)" ]]
}
is_root() { [[ $(id -u) -eq 0 ]]; }

missing=()
for p in "${DEBIAN_PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done

# Undecided: a module that Debian's package does not bring yet; the archive decides its source.
undecided=()
for entry in "${EITHER_PACKAGES[@]}"; do
  read -r deb _ _ <<<"$entry"
  installed "$deb" || undecided+=("$entry")
done
apt_updated=0
if ((${#undecided[@]})) && is_root && ! compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null; then
  # A system that never read its archive's index (a fresh root): read it before deciding.
  apt-get update -qq
  apt_updated=1
fi
pip_requirements=()
pip_modules=()
for entry in "${PYPI_PACKAGES[@]}"; do
  read -r req mod <<<"$entry"
  pip_requirements+=("$req")
  pip_modules+=("$mod")
done
for entry in "${undecided[@]}"; do
  read -r deb pypi mod <<<"$entry"
  if in_archive "$deb"; then
    missing+=("$deb")
  else
    pip_requirements+=("$pypi")
    pip_modules+=("$mod")
  fi
done

if ((${#missing[@]})); then
  if is_root; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    ((apt_updated)) || apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    # One line per group: what the library needs, and what the tests add.
    run_missing=() test_missing=()
    for p in "${missing[@]}"; do
      if [[ " ${TEST_DEBIAN[*]} ${TEST_EITHER[*]} " == *" $p "* ]]; then
        test_missing+=("$p")
      else
        run_missing+=("$p")
      fi
    done
    echo "setup: missing Debian packages. Install them with:" >&2
    ((${#run_missing[@]})) && echo "  sudo apt-get install -y ${run_missing[*]}" >&2
    ((${#test_missing[@]})) && echo "  sudo apt-get install -y ${test_missing[*]}   # for the tests" >&2
    exit 1
  fi
fi

if [[ ! -x $VENV/bin/python ]]; then
  echo "setup: creating $VENV"
  "$PY" -m venv --system-site-packages "$VENV"
fi

imports=$(IFS=,; echo "${pip_modules[*]}")
if ! "$VENV/bin/python" -c "import $imports" 2>/dev/null; then
  echo "setup: installing PyPI packages: ${pip_requirements[*]}"
  # PyPI must not replace Debian's NumPy in .venv: Debian's OpenCV was built against it.
  constraints=$(mktemp)
  trap 'rm -f "$constraints"' EXIT
  "$PY" -c 'import numpy; print("numpy==" + numpy.__version__)' >"$constraints"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check -c "$constraints" \
    "${pip_requirements[@]}"
fi

# Rebuild only when a build input changed; the build tree under build/ keeps it incremental.
stamp=$(find CMakeLists.txt pyproject.toml control_zelk sim src kit/model kit/camera_pos -type f \
          \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.txt' -o -name '*.toml' \
             -o -name '*.pyi' -o -name 'py.typed' -o -name '*.jpg' -o -name '*.png' \
             -o -name '*.json' -o -name '*.html' -o -name '*.proto' \) \
          -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
if [[ $(cat "$VENV/.zelk-build-stamp" 2>/dev/null) != "$stamp" ]]; then
  echo "setup: building and installing control_zelk"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps . 
  echo "$stamp" > "$VENV/.zelk-build-stamp"
fi
