#!/usr/bin/env bash
# Screenshots of the desktop program for the README, made the way the tests
# drive it: a virtual X server (Xvfb, no window manager), xdotool to resize
# the window and press the menu accelerators, ImageMagick's import to
# capture the whole window.
#
#   scripts/screenshots.sh BUILD_DIR OUT_DIR
#
# Writes window-start.png (as opened), window-narrow.png, window-wide-grid.png
# (wider, View > Show Grid) and window-importance.png (View > Saliency Image).
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build="$1"
out="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
app="$build/quadrix"
for tool in Xvfb xdotool xwininfo import compare; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[[ -x "$app" ]] || { echo "$0: no program at $app (build it first)" >&2; exit 1; }
mkdir -p "$out"

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
  [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to fd 3.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 2400x1600x24 -nolisten tcp -noreset +extension GLX \
  >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1

"$app" 1 "$root/data/building.jpg" >"$work/log" 2>&1 &
app_pid=$!
frame=""
for _ in $(seq 300); do
  frame="$(xdotool search --all --onlyvisible --pid "$app_pid" --name '^Quadrix$' 2>/dev/null | head -n1 || true)"
  [[ -n "$frame" ]] && break
  sleep 0.1
done
[[ -n "$frame" ]] || { echo "$0: the window did not appear" >&2; cat "$work/log" >&2; exit 1; }

# The OpenGL drawing area: the frame's largest child window.
area_size() {
  xwininfo -children -id "$frame" |
    sed -n 's/^ *0x[0-9a-f]* .*)  *\([0-9]*\)x\([0-9]*\)[+-].*/\1 \2/p' |
    sort -k1,1n -k2,2n | awk '{ if ($1 * $2 > best) { best = $1 * $2; s = $1 " " $2 } } END { print s }'
}

# Captures the whole window once two captures in a row agree.
shoot() {
  local name="$1" previous="$work/previous.png" current="$work/current.png"
  import -window "$frame" "$previous"
  for _ in $(seq 100); do
    sleep 0.3
    import -window "$frame" "$current"
    if [[ "$(compare -metric AE "$previous" "$current" null: 2>&1 || true)" == "0" ]]; then
      cp "$current" "$out/$name"
      echo "$out/$name"
      return
    fi
    mv "$current" "$previous"
  done
  echo "$0: the window did not settle for $name" >&2
  exit 1
}

resize_area() {
  local w="$1" h="$2" aw ah ow oh
  read -r aw ah <<<"$(area_size)"
  ow="$(xwininfo -id "$frame" | sed -n 's/ *Width: //p')"
  oh="$(xwininfo -id "$frame" | sed -n 's/ *Height: //p')"
  xdotool windowsize --sync "$frame" $((w + ow - aw)) $((h + oh - ah))
  for _ in $(seq 100); do
    [[ "$(area_size)" == "$w $h" ]] && return
    sleep 0.1
  done
}

keys() { xdotool windowfocus --sync "$frame" key --clearmodifiers "$@"; }

shoot window-start.png
resize_area 560 600
shoot window-narrow.png
resize_area 1200 600
keys ctrl+g
shoot window-wide-grid.png
keys ctrl+g ctrl+2
shoot window-importance.png
keys ctrl+q
wait "$app_pid" || true
app_pid=""
