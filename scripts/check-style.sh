#!/usr/bin/env bash
# The style checks the test command runs first (a few seconds): ruff's lint and format check
# over the Python files (settings in pyproject.toml), clang-format over the C++ files with the
# committed .clang-format. To fix what they report:
#   .venv/bin/ruff format . && .venv/bin/ruff check --fix .
#   find control_zelk sim tests/native -name '*.[ch]pp' | xargs .venv/bin/clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/ruff check --quiet .
.venv/bin/ruff format --check --quiet .
find control_zelk sim tests/native \( -name '*.cpp' -o -name '*.hpp' \) -print0 |
  xargs -0 .venv/bin/clang-format --dry-run -Werror
