#!/usr/bin/env python3
"""The largest difference between two solved meshes of one photo at one size,
as a share of the photo's longer side: each mesh (quadrix-cli --mesh CSV)
is a map from the photo's rest grid to the picture; the coarser one is
interpolated bilinearly at every vertex of the finer one.

  scripts/mesh-difference.py PHOTO_WIDTH PHOTO_HEIGHT A.csv B.csv
"""
import csv
import sys

import numpy as np


def grid(path):
    rows = {}
    for r in csv.DictReader(open(path)):
        if r["kind"] == "vertex":
            rows[(int(r["row"]), int(r["col"]))] = (float(r["x"]), float(r["y"]))
    ny = max(k[0] for k in rows) + 1
    nx = max(k[1] for k in rows) + 1
    g = np.zeros((ny, nx, 2))
    for (j, i), p in rows.items():
        g[j, i] = p
    return g


def sample(g, u, v):
    """g at fractional grid coordinates (u across, v down)."""
    ny, nx, _ = g.shape
    i0 = np.clip(np.floor(u).astype(int), 0, nx - 2)
    j0 = np.clip(np.floor(v).astype(int), 0, ny - 2)
    fu = (u - i0)[..., None]
    fv = (v - j0)[..., None]
    return ((1 - fu) * (1 - fv) * g[j0, i0] + fu * (1 - fv) * g[j0, i0 + 1] +
            (1 - fu) * fv * g[j0 + 1, i0] + fu * fv * g[j0 + 1, i0 + 1])


def main():
    w, h = float(sys.argv[1]), float(sys.argv[2])
    a, b = grid(sys.argv[3]), grid(sys.argv[4])
    fine, coarse = (a, b) if a.shape[0] >= b.shape[0] else (b, a)
    ny, nx, _ = fine.shape
    # Rest positions of the fine grid, as fractions of the photo.
    fy, fx = np.meshgrid(np.linspace(0, 1, ny), np.linspace(0, 1, nx), indexing="ij")
    cy, cx = coarse.shape[0] - 1, coarse.shape[1] - 1
    other = sample(coarse, fx * cx, fy * cy)
    d = np.linalg.norm(fine - other, axis=2)
    side = max(w, h)
    print(f"largest {d.max():.2f} px ({100 * d.max() / side:.3f} % of {side:.0f}), "
          f"90th percentile {np.percentile(d, 90):.2f} px, median {np.median(d):.2f} px")


if __name__ == "__main__":
    main()
