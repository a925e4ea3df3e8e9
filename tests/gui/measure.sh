#!/usr/bin/env bash
# Measures the desktop program under Xvfb (no window manager, software
# OpenGL): the time from start to the first picture, for the bundled sample
# and for a 4000x3000 photo, and the pictures per second while the window is
# resized continuously at about 1920x1080. Pictures are counted by logging
# the program's buffer swaps (swapcount.c, through LD_PRELOAD).
#
#   tests/gui/measure.sh BUILD_DIR [RUNS]
set -euo pipefail
build="$(cd "$1" && pwd)"
runs="${2:-5}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
app="$build/quadrix"
work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
  [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null || true
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cc -shared -fPIC -O2 -o "$work/swapcount.so" "$root/tests/gui/swapcount.c" -ldl
convert "$root/data/building.jpg" -resize '4000x3000!' -quality 92 "$work/big.jpg"

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 4400x3400x24 -nolisten tcp -noreset +extension GLX >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Starts the program on $1 with swaps logged to $work/swaps; sets app_pid, frame.
start() {
  : >"$work/swaps"
  t0="$(now)"
  LD_PRELOAD="$work/swapcount.so" QX_SWAP_LOG="$work/swaps" "$app" 1 "$1" >"$work/log" 2>&1 &
  app_pid=$!
  for _ in $(seq 1200); do [[ -s "$work/swaps" ]] && break; sleep 0.01; done
  [[ -s "$work/swaps" ]] || { echo "no picture; log:" >&2; cat "$work/log" >&2; exit 1; }
  frame="$(xdotool search --all --onlyvisible --pid "$app_pid" --name '^Quadrix$' | head -n1)"
}
stop() {
  xdotool windowfocus --sync "$frame" key --clearmodifiers ctrl+q
  wait "$app_pid" || true
  app_pid=""
}
first_picture() {
  local t
  for _ in $(seq "$2"); do
    start "$1"
    t="$(head -n1 "$work/swaps")"
    awk -v a="$t0" -v b="$t" 'BEGIN { printf "%.3f\n", b - a }'
    stop
  done
}

echo "machine: $(nproc) cores, $(uname -m), load $(cut -d' ' -f1-3 /proc/loadavg)"
sample_times="$(first_picture "$root/data/building.jpg" "$runs")"
echo "start to first picture, sample 868x600 (s): $(echo $sample_times) median $(echo "$sample_times" | median)"
big_times="$(first_picture "$work/big.jpg" "$(( runs < 3 ? runs : 3 ))")"
echo "start to first picture, 4000x3000 (s): $(echo $big_times) median $(echo "$big_times" | median)"

# Continuous resizing: 200 size steps around 1920x1080, 5 ms apart.
start "$root/data/building.jpg"
area="$(xwininfo -children -id "$frame" | sed -n 's/^ *0x[0-9a-f]* .*)  *\([0-9]*\)x\([0-9]*\)[+-].*/\1 \2/p' | sort -n | tail -n1)"
read -r aw ah <<<"$area"
ow="$(xwininfo -id "$frame" | sed -n 's/ *Width: //p')"
oh="$(xwininfo -id "$frame" | sed -n 's/ *Height: //p')"
dx=$((ow - aw)); dy=$((oh - ah))
xdotool windowsize --sync "$frame" $((1920 + dx)) $((1080 + dy))
sleep 2
steps=()
for i in $(seq 0 199); do
  w=$((1920 + (i % 40 < 20 ? i % 20 : 20 - i % 20) * 4 - 40))
  h=$((1080 + (i % 30 < 15 ? i % 15 : 15 - i % 15) * 3 - 20))
  steps+=(windowsize "$frame" $((w + dx)) $((h + dy)) sleep 0.005)
done
before="$(wc -l <"$work/swaps")"
t1="$(now)"
xdotool "${steps[@]}"
t2="$(now)"
sleep 2
after="$(wc -l <"$work/swaps")"
last="$(tail -n1 "$work/swaps")"
pictures=$((after - before))
awk -v n="$pictures" -v a="$t1" -v b="$t2" -v c="$last" 'BEGIN {
  printf "continuous resize at ~1920x1080: 200 steps in %.2f s, %d pictures, %.1f pictures/s (until the last picture, %.2f s)\n",
    b - a, n, n / (c - a), c - a }'
stop
