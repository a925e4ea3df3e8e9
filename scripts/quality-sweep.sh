#!/usr/bin/env bash
# Mesh quality over a sweep of sizes: every photo at 30 % to 300 % of its
# width (height kept) and of its height (width kept), in both modes, through
# meshquality.py. One line per solve, then the worst figures.
#
# usage: scripts/quality-sweep.sh CLI MESHQUALITY OUTDIR PHOTO...   (extra options: QX_OPTS)
set -euo pipefail
cli=$1; mq=$2; out=$3; shift 3
mkdir -p "$out"
results="$out/sweep.txt"
: > "$results"
for p in "$@"; do
  b=$(basename "${p%.*}")
  read -r w h < <(/usr/bin/identify -format "%w %h\n" "$p[0]")
  for pct in 30 60 150 300; do
    for side in w h; do
      if [ $side = w ]; then W=$((w * pct / 100)); H=$h; else W=$w; H=$((h * pct / 100)); fi
      for mode in 0 1; do
        csv="$out/${b}_${W}x${H}_m$mode.csv"
        # shellcheck disable=SC2086
        "$cli" ${QX_OPTS:-} --size "${W}x${H}" --mesh "$csv" $mode "$p" > /dev/null
        echo "$b mode=$mode $(/usr/bin/python3 "$mq" "$p" "$csv")" >> "$results"
        rm -f "$csv"
      done
    done
  done
done
/usr/bin/python3 - "$results" <<'PY'
import sys, re
rows = [dict(re.findall(r'(\w+)=(\S+)', l)) | {'photo': l.split()[0]} for l in open(sys.argv[1])]
num = lambda r, k: float(r.get(k, 'nan').rstrip('%'))
print(f"{len(rows)} solves: flipped {sum(int(r['flipped']) for r in rows)}, "
      f"crushed {sum(int(r['crushed']) for r in rows)}")
p90 = sorted(num(r, 'bend_p90') for r in rows if 'bend_p90' in r)
mx = sorted(num(r, 'bend_max') for r in rows if 'bend_max' in r)
if p90:
    print(f"bend p90: median {p90[len(p90)//2]:.2f} px, worst {p90[-1]:.2f} px, over 1 px in {sum(v > 1 for v in p90)}")
    print(f"bend max: median {mx[len(mx)//2]:.2f} px, worst {mx[-1]:.2f} px, over 3 px in {sum(v > 3 for v in mx)}")
PY
