#!/usr/bin/env bash
# The README's side-by-side table: each photo at 1:1 and 16:9 of its own
# height, as quadrix-cli draws it, as a plain resize (ImageMagick -resize)
# and as seam carving (ImageMagick -liquid-rescale), into docs/results/.
#
# usage: scripts/result-pictures.sh CLI PHOTO...
set -euo pipefail
cli=$1; shift
out="$(dirname "$0")/../docs/results"
mkdir -p "$out"
font=$(fc-list 2>/dev/null | grep -m1 -i dejavu | cut -d: -f1 || true)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for p in "$@"; do
  b=$(basename "${p%.*}")
  read -r w h < <(/usr/bin/identify -format "%w %h\n" "$p[0]")
  for r in 1:1 16:9; do
    a=${r%:*}; c=${r#*:}; W=$((h * a / c))
    "$cli" 1 "$p" --size "${W}x${h}" -o "$tmp/q.png"
    /usr/bin/convert "$p[0]" -resize "${W}x${h}!" "$tmp/s.png"
    /usr/bin/convert "$p[0]" -liquid-rescale "${W}x${h}!" "$tmp/l.png"
    /usr/bin/montage -label quadrix "$tmp/q.png" -label "plain resize" "$tmp/s.png" \
      -label "seam carving" "$tmp/l.png" -tile 3x1 -geometry x360+6+6 -pointsize 20 ${font:+-font "$font"} \
      -quality 90 "$out/${b}_${a}x${c}.jpg"
  done
done
