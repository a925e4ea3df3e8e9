#!/usr/bin/env bash
# Runs quadrix-cli on the bundled sample photo at a few sizes and says where
# the results went.
set -euo pipefail
build="${1:-build/release}"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/out"
mkdir -p "$out"
"$build/quadrix-cli" --size 860x600 --size 600x600 --size 1200x600 --size 860x400 \
  -o "$out/building_{w}x{h}.png" --mesh "$out/building_mesh_{w}x{h}.csv" \
  1 "$root/data/building.jpg"
echo "Results are in $out"
