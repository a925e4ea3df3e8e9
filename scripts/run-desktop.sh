#!/usr/bin/env bash
# Opens the desktop program on the bundled sample photo when there is a
# display; without one, does what run-sample.sh does on the command line.
set -euo pipefail
build="${1:-build/release}"
root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$build/quadrix" ]]; then
  echo "Opening $root/data/building.jpg; resize the window to resize the picture."
  exec "$build/quadrix" 1 "$root/data/building.jpg"
fi
if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  echo "No display: running the command-line tool instead."
fi
exec "$root/scripts/run-sample.sh" "$build"
