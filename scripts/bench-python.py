#!/usr/bin/python3
"""quadrix.retarget on a 2-megapixel array beside quadrix-cli's work on the
same photo without decoding and encoding, measured in the same run.

    scripts/bench-python.py [BUILD_DIR] [RUNS]

The command line's work is its wall time less its "read", "read photo" and
"write" stopwatch stages (--timings) and less the start of a process that
does nothing (quadrix-cli --version). The photo is a PNG (both sides see the
same pixels); runs alternate after one warm-up each; medians are printed,
and the median of the per-pair ratios.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build",
                                                                            "release"))
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 7
sys.path.insert(0, os.path.join(BUILD, "python"))
sys.path.insert(0, os.path.join(ROOT, "python", "tests"))

import quadrix  # noqa: E402
from conftest import read_png  # noqa: E402

CLI = os.path.join(BUILD, "quadrix-cli")
SIZE = (1300, 1155)
DECODE_ENCODE = ("read", "read photo", "write")


def cli_work(photo, out):
    start = time.perf_counter()
    done = subprocess.run([CLI, "--timings", "--size", f"{SIZE[0]}x{SIZE[1]}", "-o", out, "1",
                           photo], capture_output=True, text=True, check=True)
    wall = time.perf_counter() - start
    stages = {}
    for line in done.stdout.splitlines():
        label, _, seconds = line.rpartition(" time used ")
        stages[label] = float(seconds.rstrip("s"))
    return wall - sum(stages.get(s, 0.0) for s in DECODE_ENCODE)


def process_start():
    start = time.perf_counter()
    subprocess.run([CLI, "--version"], capture_output=True, check=True)
    return time.perf_counter() - start


def main():
    with tempfile.TemporaryDirectory() as work:
        # The sample enlarged to 2 MP with a camera's grain, as a PNG in the
        # one filter the tests' reader undoes (quadrix-cli's).
        grain = os.path.join(work, "grain.jpg")
        photo = os.path.join(work, "photo2mp.png")
        subprocess.run(["convert", os.path.join(ROOT, "data", "building.jpg"), "-resize",
                        "1732x1155!", "-attenuate", "0.6", "+noise", "Gaussian", "-quality",
                        "95", grain], check=True)
        subprocess.run([CLI, "--uniform", "--size", "1732x1155", "-o", photo, "1", grain],
                       check=True)
        image = read_png(photo)
        out = os.path.join(work, "out.png")
        quadrix.retarget(image, SIZE)
        cli_work(photo, out)
        ours, theirs, ratios, starts = [], [], [], []
        for _ in range(RUNS):
            start = time.perf_counter()
            quadrix.retarget(image, SIZE)
            a = time.perf_counter() - start
            starts.append(process_start())
            b = cli_work(photo, out) - starts[-1]
            ours.append(a)
            theirs.append(b)
            ratios.append(a / b)
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    print(f"quadrix.retarget vs quadrix-cli; {os.cpu_count()} processors, load {load}")
    print(f"{'':44} {'retarget':>9} {'cli work':>9} {'ratio':>6}")
    print(f"{'1732x1155 (2 MP) -> 1300x1155, median of ' + str(RUNS):44} "
          f"{statistics.median(ours):8.3f}s {statistics.median(theirs):8.3f}s "
          f"{statistics.median(ratios):6.3f}")
    print(f"(cli work = wall less read, read photo, write and a process start of "
          f"{statistics.median(starts):.3f}s)")


if __name__ == "__main__":
    main()
