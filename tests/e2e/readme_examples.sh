#!/usr/bin/env bash
# The README's command examples, run in a temporary folder with the build's programs
# (the marker convention is described in tests/e2e/lib/readme_examples.py).
set -euo pipefail
exec python3 "$(dirname "$0")/lib/readme_examples.py" "${1:?build directory}"
