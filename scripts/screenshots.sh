#!/usr/bin/env bash
# Screenshots of the desktop program for the README, made the way the tests
# drive it: a virtual X server (Xvfb, no window manager), xdotool to resize
# the window and press the menu accelerators, ImageMagick's import to
# capture the whole window.
#
#   scripts/screenshots.sh BUILD_DIR OUT_DIR
#
# Writes, as JPEG: window-empty.jpg (quadrix --open, no photo yet),
# window-start.jpg (as opened), window-narrow.jpg, window-wide-grid.jpg
# (wider, View > Show Grid), window-importance.jpg (View > Saliency Image),
# and, at 860 x 400, window-protect-before.jpg, window-protect-stroke.jpg and
# window-protect-after.jpg (a Protect stroke along the squeezed bottom strip,
# tinted, and what it does with the brush put down), window-dark.jpg (a dark
# theme, 1200 x 600) and window-scale2.jpg (GDK_SCALE=2, as opened).
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
# Recent files and settings go to a home of our own.
export HOME="$work/home"
mkdir -p "$HOME"

# Starts the program with the given arguments; sets app_pid and frame.
start() {
  env "${app_env[@]}" "$app" "$@" >"$work/log" 2>&1 &
  app_pid=$!
  frame=""
  for _ in $(seq 300); do
    frame="$(xdotool search --all --onlyvisible --pid "$app_pid" --name '^(.* — [0-9]+×[0-9]+ — )?Quadrix$' 2>/dev/null | head -n1 || true)"
    [[ -n "$frame" ]] && break
    sleep 0.1
  done
  [[ -n "$frame" ]] || { echo "$0: the window did not appear" >&2; cat "$work/log" >&2; exit 1; }
}

quit() {
  keys ctrl+q
  wait "$app_pid" || true
  app_pid=""
}

# The OpenGL drawing area: the frame's largest child window that is shown,
# as "ID WIDTH HEIGHT".
area() {
  local id w h best=0 found=""
  while read -r id w h; do
    xwininfo -id "$id" | grep -q "IsViewable" || continue
    if ((w * h > best)); then best=$((w * h)); found="$id $w $h"; fi
  done < <(xwininfo -children -id "$frame" |
    sed -n 's/^ *\(0x[0-9a-f]*\) .*)  *\([0-9]*\)x\([0-9]*\)[+-].*/\1 \2 \3/p')
  echo "$found"
}
area_size() { area | cut -d' ' -f2-; }

# Waits until the drawing area has the size $1 x $2 (the photo has loaded).
wait_area() {
  for _ in $(seq 300); do
    [[ "$(area_size)" == "$1 $2" ]] && return
    sleep 0.1
  done
  echo "$0: no drawing area of $1 x $2" >&2
  exit 1
}

# Captures the whole window once two captures in a row agree.
shoot() {
  local name="$1" previous="$work/previous.png" current="$work/current.png"
  import -window "$frame" "$previous"
  for _ in $(seq 100); do
    sleep 0.3
    import -window "$frame" "$current"
    if [[ "$(compare -metric AE "$previous" "$current" null: 2>&1 || true)" == "0" ]]; then
      convert "$current" -quality 88 "$out/$name"
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

app_env=()

start --open
shoot window-empty.jpg
quit

start 1 "$root/data/building.jpg"
wait_area 868 600
shoot window-start.jpg
resize_area 560 600
shoot window-narrow.jpg
resize_area 1200 600
keys ctrl+g
shoot window-wide-grid.jpg
keys ctrl+g ctrl+2
shoot window-importance.jpg
keys ctrl+1
resize_area 860 400
shoot window-protect-before.jpg
# Protect the squeezed strip of hedge, car and lawn: take up the brush, a
# larger one, and drag along the strip; then put the brush down.
keys p bracketright bracketright
read -r id _ <<<"$(area)"
xdotool mousemove --window "$id" 10 398 mousedown 1
for x in 100 200 300 400 500 600 700 800 850; do
  xdotool mousemove --window "$id" "$x" 398 sleep 0.03
done
xdotool mouseup 1
sleep 1
shoot window-protect-stroke.jpg
keys Escape
shoot window-protect-after.jpg
# Exit would ask about the unsaved strokes.
kill "$app_pid"
wait "$app_pid" || true
app_pid=""

app_env=(GTK_THEME=Adwaita:dark)
start "$root/data/building.jpg"
wait_area 868 600
resize_area 1200 600
shoot window-dark.jpg
quit

# Device pixels: the drawing area of a photo at 100 % is its own size.
app_env=(GDK_SCALE=2)
start "$root/data/building.jpg"
wait_area 868 600
shoot window-scale2.jpg
quit
