#!/usr/bin/env bash
# Working copy against full size: each photo enlarged to 12 MP (4000 pixels
# on its longer side, with a camera's grain), resized to 16:9 of its height
# by quadrix-cli as it does by default (analysed and solved on a 1600-pixel
# copy) and with --work-size none; a crop of each side by side into
# docs/work-size/, and the largest vertex difference between the two meshes
# as a share of the photo's longer side into docs/work-size/differences.md.
#
# usage: scripts/work-size-crops.sh CLI PHOTO...
set -euo pipefail
cli=$1; shift
here="$(cd "$(dirname "$0")" && pwd)"
out="$here/../docs/work-size"
mkdir -p "$out"
font=$(fc-list 2>/dev/null | grep -m1 -i dejavu | cut -d: -f1 || true)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
{
  echo "| photo (enlarged) | size | largest | 90th percentile | median |"
  echo "|---|---|---|---|---|"
} >"$tmp/table"
for p in "$@"; do
  b=$(basename "${p%.*}")
  read -r w h < <(/usr/bin/identify -format "%w %h\n" "$p[0]")
  if [ "$w" -ge "$h" ]; then W=4000; H=$((4000 * h / w)); else H=4000; W=$((4000 * w / h)); fi
  /usr/bin/convert "$p[0]" -resize "${W}x${H}!" -attenuate 0.6 +noise Gaussian -quality 92 \
    "$tmp/big.jpg"
  T=$((H * 16 / 9))
  "$cli" 1 "$tmp/big.jpg" --size "${T}x${H}" -o "$tmp/work.png" --mesh "$tmp/work.csv"
  "$cli" --work-size none 1 "$tmp/big.jpg" --size "${T}x${H}" -o "$tmp/full.png" \
    --mesh "$tmp/full.csv"
  read -r largest share p90 median < <(python3 "$here/mesh-difference.py" "$W" "$H" \
    "$tmp/full.csv" "$tmp/work.csv" |
    sed -E 's/largest ([0-9.]+) px \(([0-9.]+) % .*percentile ([0-9.]+) px, median ([0-9.]+) px/\1 \2 \3 \4/')
  echo "| $b (${W}x${H}) | ${T}x${H} | $largest px ($share %) | $p90 px | $median px |" >>"$tmp/table"
  # A 1200 x 800 crop around the picture's centre, at full resolution.
  crop="1200x800+$(((T - 1200) / 2))+$(((H - 800) / 2))"
  /usr/bin/montage -label "working copy (default)" "$tmp/work.png[$crop]" \
    -label "--work-size none" "$tmp/full.png[$crop]" -tile 2x1 -geometry +6+6 -pointsize 24 \
    ${font:+-font "$font"} -quality 80 "$out/${b}_crop.jpg"
  /usr/bin/montage -label "working copy (default)" "$tmp/work.png" -label "--work-size none" \
    "$tmp/full.png" -tile 2x1 -geometry x400+6+6 -pointsize 20 ${font:+-font "$font"} \
    -quality 88 "$out/${b}_whole.jpg"
done
mv "$tmp/table" "$out/differences.md"
cat "$out/differences.md"
