#!/usr/bin/env bash
# Brings this checkout to a runnable state, doing only what is still missing:
#   1. Debian packages (installed when run as root, otherwise the one apt-get line is shown),
#   2. the virtual environment .venv (Debian's python3, with the system site packages),
#   3. the PyPI-only packages in it,
#   4. control_zelk built and installed into it (skipped when the sources are unchanged).
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(
  python3 python3-dev python3-venv python3-opencv libopencv-dev python3-numpy
  python3-serial python3-pyzbar libzbar-dev pybind11-dev cmake ninja-build make g++ pkg-config
  opencv-data xvfb xauth python3-skimage python3-qrcode python3-onnx
)
PIP_PACKAGES=(imutils pytest "scikit-build-core>=0.10" mypy)
PY=/usr/bin/python3
VENV=.venv

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

if [[ ! -x $VENV/bin/python ]]; then
  echo "setup: creating $VENV"
  "$PY" -m venv --system-site-packages "$VENV"
fi

if ! "$VENV/bin/python" -c 'import imutils, pytest, scikit_build_core, mypy' 2>/dev/null; then
  echo "setup: installing PyPI packages: ${PIP_PACKAGES[*]}"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
fi

# Rebuild only when a build input changed; the build tree under build/ keeps it incremental.
stamp=$(find CMakeLists.txt pyproject.toml control_zelk sim -type f \
          \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.txt' -o -name '*.toml' \
             -o -name '*.pyi' -o -name 'py.typed' -o -name 'zelk-*' \) \
          -print0 | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
if [[ $(cat "$VENV/.zelk-build-stamp" 2>/dev/null) != "$stamp" ]]; then
  echo "setup: building and installing control_zelk"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps . 
  echo "$stamp" > "$VENV/.zelk-build-stamp"
fi
