#!/usr/bin/env bash
# Names in one case: clang-tidy's identifier-naming check, configured in .clang-tidy,
# over the project's own sources as the build compiles them (BUILD_DIR's
# compile_commands.json; the Win32* files of the Windows build are not in it).
#   scripts/check_naming.sh [BUILD_DIR]
# Prints each finding once (a header's findings come from every file that includes it)
# and exits 1 when there is any, 2 when clang-tidy or the compile commands are missing
# or a file does not compile. JOBS (default 2) clang-tidy processes run at once.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BUILD_DIR=$(cd "${1:-build}" 2> /dev/null && pwd) || {
  echo "check_naming: no build folder ${1:-build}; run ./setup.sh first" >&2
  exit 2
}
JOBS=${JOBS:-2}

# The ratchet: files whose names are not yet in the one case. Their own findings are
# left out (and the sources among them not checked) until they are fixed; take a line
# out when its file is clean, and never add one.
not_yet=(
)

if ! command -v clang-tidy > /dev/null; then
  echo "check_naming: clang-tidy is missing (apt-get install clang-tidy)" >&2
  exit 2
fi
if [ ! -f "$BUILD_DIR/compile_commands.json" ]; then
  echo "check_naming: $BUILD_DIR/compile_commands.json is missing; configure with cmake first" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\n' "${not_yet[@]}" > "$work/not_yet"

# The project's own sources: under the checkout, outside the build folder (moc output).
python3 - "$BUILD_DIR/compile_commands.json" "$root" "$BUILD_DIR" "$work/not_yet" \
  > "$work/sources" << 'EOF'
import json, sys
commands, root, build, not_yet = sys.argv[1:]
skipped = {line.strip() for line in open(not_yet) if line.strip()}
files = {entry["file"] for entry in json.load(open(commands))}
for path in sorted(files):
    if not path.startswith(root + "/") or path.startswith(build + "/"):
        continue
    if path[len(root) + 1:] not in skipped:
        print(path)
EOF

# The build's flags are gcc's: clang-tidy's compiler would stop at the warning options it
# does not know and at its own warnings turned into errors.
xargs -P "$JOBS" -n 1 clang-tidy -p "$BUILD_DIR" --quiet \
  --checks='-*,readability-identifier-naming' --header-filter="^$root/" \
  --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-error \
  < "$work/sources" > "$work/output" 2> "$work/errors"
status=$?

if grep -q ': error: ' "$work/output"; then
  grep ': error: ' "$work/output" | sort -u >&2
  echo "check_naming: clang-tidy could not compile the files above" >&2
  exit 2
fi
if [ "$status" -ne 0 ]; then
  cat "$work/errors" >&2
  echo "check_naming: clang-tidy failed" >&2
  exit 2
fi

# One line per finding, without those of the build folder and of the ratchet's files.
grep -E '^/.*: warning: .*\[readability-identifier-naming\]$' "$work/output" | sort -u |
  while IFS= read -r line; do
    path=${line%%:*}
    case "$path" in "$BUILD_DIR"/*) continue ;; esac
    file=${path#"$root"/}
    grep -qxF "$file" "$work/not_yet" || echo "$line"
  done > "$work/findings"

count=$(wc -l < "$work/findings")
if [ "$count" -gt 0 ]; then
  cat "$work/findings"
  echo "check_naming: $count name(s) not in the case .clang-tidy asks for"
  exit 1
fi
echo "check_naming: every name is in its case"
