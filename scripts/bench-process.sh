#!/usr/bin/env bash
# Whole-process figures of quadrix-cli, each beside its yardstick measured in
# the same run:
#   - one size of a photo with -o, against ImageMagick's plain resize to the
#     same size (convert SRC -resize WxH! OUT.png: decode, resample and
#     encode, the floor for any resizer);
#   - phone and camera photos (12 and 48 megapixels, JPEG in and out)
#     against libvips' plain resize (vips resize), with the peak memory of
#     each in bytes per source pixel;
#   - the throughput of --batch -j 2 against -j 1 over copies of the sample;
#   - the cost and peak memory of one photo, for sizing a job.
# Runs alternate (A B A B ...) after one warm-up each, so that a machine whose
# speed drifts affects both sides; medians are printed, and for pairs the
# median of the per-pair ratios.
#
#   scripts/bench-process.sh [BUILD_DIR] [RUNS] [COPIES]
#
# QUADRIX_BENCH_AT_LIMIT=1 also measures a photo at the default pixel limit
# (120 megapixels; several minutes, most of them ImageMagick making the
# photo, and about 5 GB).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
runs="${2:-5}"
copies="${3:-100}"
cli="$(realpath "$build/quadrix-cli")"
sample="$(realpath data/building.jpg)"
for tool in convert vips /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-process: $tool is missing" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall seconds of one run of the command, its output thrown away.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || { echo "bench-process: failed: $*" >&2; exit 1; }
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", b - a }'
}

# Peak resident memory of one run, in MiB.
peak() {
  /usr/bin/time -f '%M' -o "$work/rss" "$@" >/dev/null 2>&1
  awk '{ printf "%.0f\n", $1 / 1024 }' "$work/rss"
}

# pair LABEL NAME_A NAME_B: functions A and B run in turn.
pair() {
  local label="$1" a="$2" b="$3" ta tb
  : >"$work/a"; : >"$work/b"; : >"$work/r"
  seconds "$a" >/dev/null
  seconds "$b" >/dev/null
  for _ in $(seq "$runs"); do
    ta=$(seconds "$a")
    tb=$(seconds "$b")
    echo "$ta" >>"$work/a"
    echo "$tb" >>"$work/b"
    awk -v x="$ta" -v y="$tb" 'BEGIN { print x / y }' >>"$work/r"
  done
  printf '%-46s %8.3f s %8.3f s %7.2f\n' "$label" "$(median <"$work/a")" \
    "$(median <"$work/b")" "$(median <"$work/r")"
}

convert "$sample" -resize 1920x1080! -quality 92 "$work/photo1080.jpg"
mkdir -p "$work/copies"
for i in $(seq -w 1 "$copies"); do ln -s "$sample" "$work/copies/photo$i.jpg"; done

sample_ours() { "$cli" --size 600x600 -o "$work/out/ours_{w}x{h}.png" 1 "$sample"; }
sample_convert() { convert "$sample" -resize 600x600! "$work/out/convert.png"; }
hd_ours() { "$cli" --size 1440x1080 -o "$work/out/ours_{w}x{h}.png" 1 "$work/photo1080.jpg"; }
hd_convert() { convert "$work/photo1080.jpg" -resize 1440x1080! "$work/out/convert.png"; }
up_ours() { "$cli" --size 1920x1080 -o "$work/out/ours_{w}x{h}.png" 1 "$sample"; }
up_convert() { convert "$sample" -resize 1920x1080! "$work/out/convert.png"; }
batch() { "$cli" --batch -j "$1" --size 600x600 -o "$work/out/j$1/{name}.png" 1 "$work"/copies/*.jpg; }
batch1() { batch 1; }
batch2() { batch 2; }
mkdir -p "$work/out"

echo "quadrix-cli whole process; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-46s %10s %10s %7s\n' "" "quadrix" "yardstick" "ratio"
pair "sample 868x600 -> 600x600 PNG vs convert" sample_ours sample_convert
pair "photo 1920x1080 -> 1440x1080 PNG vs convert" hd_ours hd_convert
pair "sample 868x600 -> 1920x1080 PNG vs convert" up_ours up_convert
runs=$(( runs < 3 ? runs : 3 ))
pair "batch of $copies: -j 1 vs -j 2 (ratio = gain)" batch1 batch2

echo
echo "per photo (batch -j 1, 600x600 PNG): $(awk -v t="$(median <"$work/a")" -v n="$copies" \
  'BEGIN { printf "%.3f s", t / n }'); peak $(peak "$cli" --batch -j 1 --size 600x600 \
  -o "$work/out/p/{name}.png" 1 "$work"/copies/*.jpg) MiB at -j 1, $(peak "$cli" --batch -j 2 \
  --size 600x600 -o "$work/out/p/{name}.png" 1 "$work"/copies/*.jpg) MiB at -j 2"
# Big photos: the sample enlarged, with a camera's grain so that the JPEG
# costs what a real one does to decode.
for mp in 12 48; do
  size=$([ "$mp" = 12 ] && echo 4000x3000 || echo 8000x6000)
  convert "$sample" -resize "$size!" -attenuate 0.6 +noise Gaussian -quality 92 \
    "$work/photo${mp}mp.jpg"
done
p12_ours() { "$cli" --size 3000x3000 -o "$work/out/ours12.jpg" 1 "$work/photo12mp.jpg"; }
p12_vips() { vips resize "$work/photo12mp.jpg" "$work/out/vips12.jpg[Q=95]" 0.75 --vscale 1; }
p48_ours() { "$cli" --size 6000x6000 -o "$work/out/ours48.jpg" 1 "$work/photo48mp.jpg"; }
p48_vips() { vips resize "$work/photo48mp.jpg" "$work/out/vips48.jpg[Q=95]" 0.75 --vscale 1; }
echo
printf '%-46s %10s %10s %7s\n' "" "quadrix" "vips" "ratio"
pair "12 MP 4000x3000 -> 3000x3000 JPEG vs vips" p12_ours p12_vips
pair "48 MP 8000x6000 -> 6000x6000 JPEG vs vips" p48_ours p48_vips
for mp in 12 48; do
  side=$([ "$mp" = 12 ] && echo 3000x3000 || echo 6000x6000)
  ours=$(peak "$cli" --size "$side" -o "$work/out/ours.jpg" 1 "$work/photo${mp}mp.jpg")
  theirs=$(peak vips resize "$work/photo${mp}mp.jpg" "$work/out/vips.jpg[Q=95]" 0.75 --vscale 1)
  echo "peak memory at $mp MP: quadrix $ours MiB ($(awk -v m="$ours" -v p="$mp" \
    'BEGIN { printf "%.1f", m * 1048576 / (p * 1e6) }') bytes a source pixel), vips $theirs MiB"
done
if [ -n "${QUADRIX_BENCH_AT_LIMIT:-}" ]; then
  convert "$sample" -resize 12000x10000! -quality 92 "$work/photo120mp.jpg"
  echo "a 12000x10000 photo (the default limit) to 9000x10000: $(seconds "$cli" --size 9000x10000 \
    --mesh "$work/out/limit.csv" 1 "$work/photo120mp.jpg") s, peak $(peak "$cli" --size \
    9000x10000 --mesh "$work/out/limit.csv" 1 "$work/photo120mp.jpg") MiB"
fi
