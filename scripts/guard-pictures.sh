#!/usr/bin/env bash
# Pictures of the guard against folding for the README and docs/, drawn by
# quadrix-cli:
#
#   scripts/guard-pictures.sh BUILD_DIR OUT_DIR
#
# before-after-WxH.jpg: the bundled sample at the README's sizes, without the
#   guard (--min-scale none) and with it (the default), each with and without
#   the mesh lines.
# min-scale-NAME-WxH.jpg: one photo at one size for several minimum quad
#   scales side by side (none, 0.1, 0.2, 0.3, 0.5), mesh lines on.
# min-scale-building-bottom-WxH.jpg: the sample's bottom strip (entrance and
#   lawn, where the unguarded mesh folds) for the same scales, one above the
#   other, without mesh lines.
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build="$1"
out="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
cli="$build/quadrix-cli"
for tool in montage convert; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (ImageMagick)" >&2; exit 1; }
done
[[ -x "$cli" ]] || { echo "$0: no program at $cli (build it first)" >&2; exit 1; }
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

draw() {  # draw OUT.png SIZE MIN_SCALE PHOTO [--grid]
  local file="$1" size="$2" m="$3" photo="$4"
  shift 4
  "$cli" --size "$size" --min-scale "$m" -o "$file" "$@" 1 "$photo" >/dev/null
}

sample="$root/data/building.jpg"
for size in 1200x600 860x400; do
  draw "$work/none.png" "$size" none "$sample"
  draw "$work/guard.png" "$size" 0.3 "$sample"
  draw "$work/none-grid.png" "$size" none "$sample" --grid
  draw "$work/guard-grid.png" "$size" 0.3 "$sample" --grid
  montage -label 'without the guard (--min-scale none)' "$work/none.png" \
    -label 'with the guard (default)' "$work/guard.png" \
    -label '' "$work/none-grid.png" -label '' "$work/guard-grid.png" \
    -tile 2x2 -geometry +6+6 -font DejaVu-Sans -pointsize 18 "$work/sheet.png"
  convert "$work/sheet.png" -resize '1600x1600>' -quality 85 "$out/before-after-$size.jpg"
done

compare_scales() {  # compare_scales NAME PHOTO SIZE
  local name="$1" photo="$2" size="$3" args=()
  for m in none 0.1 0.2 0.3 0.5; do
    draw "$work/m-$m.png" "$size" "$m" "$photo" --grid
    args+=(-label "min-scale $m" "$work/m-$m.png")
  done
  montage "${args[@]}" -tile 5x1 -geometry +6+6 -font DejaVu-Sans -pointsize 18 "$work/sheet.png"
  convert "$work/sheet.png" -resize '2000x2000>' -quality 85 "$out/min-scale-$name-$size.jpg"
}
compare_scales building "$sample" 1200x600
compare_scales building "$sample" 860x400
for size in 1200x600 860x400; do
  w="${size%x*}"
  h="${size#*x}"
  strip=$((h * 35 / 100))
  args=()
  for m in none 0.1 0.2 0.3 0.5; do
    draw "$work/m-$m.png" "$size" "$m" "$sample"
    convert "$work/m-$m.png" -crop "${w}x${strip}+0+$((h - strip))" +repage "$work/strip-$m.png"
    args+=(-label "min-scale $m" "$work/strip-$m.png")
  done
  montage "${args[@]}" -tile 1x5 -geometry +4+4 -font DejaVu-Sans -pointsize 16 "$work/sheet.png"
  convert "$work/sheet.png" -quality 85 "$out/min-scale-building-bottom-$size.jpg"
done
compare_scales butterfly "$root/tests/data/butterfly.jpg" 480x560
compare_scales butterfly "$root/tests/data/butterfly.jpg" 980x300
echo "Pictures are in $out"
