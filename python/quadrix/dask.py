"""Resizing a folder of photos on many machines with Dask.

    python3 -m quadrix.dask [--scheduler ADDRESS | --workers N] [--mode M]
                            SRC_GLOB OUT_PATTERN [quadrix-cli options...]

Each photo matching SRC_GLOB is one task: a Dask worker runs
quadrix.retarget_file on it, writing OUT_PATTERN ({name}, {dir}, {w}, {h} as
in quadrix-cli -o). Every other option is quadrix-cli's (--size WxH,
--quality Q, --strip, --no-sharp, ...), so that the pictures are those of
`quadrix-cli --batch OPTIONS -o OUT_PATTERN MODE SRC...`. The whole command
is checked as that batch would be before any photo is handed out.

Without --scheduler the photos go to a cluster on this machine, one worker
process a processor (--workers). With it, to the scheduler at ADDRESS
(`dask scheduler` on one machine, `dask worker ADDRESS` on each of the
others, the photos and OUT_PATTERN's folder at the same path on all).

As the batch does, a photo that fails is named on standard error with the
reason while the others go on; a progress line is kept on a terminal, and
the exit status is 1 when any photo failed, 2 for a usage error.

From Python: resize_files(client, sources, output, size, **options) with
retarget_file's keywords.
"""

from __future__ import annotations

import argparse
import dataclasses
import glob
import os
import sys
import time
from typing import Callable, Dict, List, Optional, Sequence

import quadrix

PROG = "quadrix.dask"


@dataclasses.dataclass
class Outcome:
    """What became of one photo: the pictures written, or why it failed."""

    source: str
    written: List[str] = dataclasses.field(default_factory=list)
    failure: Optional[str] = None
    notices: List[str] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class BatchReport:
    """The photos of one batch, in the order given."""

    outcomes: List[Outcome]

    @property
    def failed(self) -> Dict[str, str]:
        """Source -> the line the batch reports for it."""
        return {o.source: o.failure for o in self.outcomes if o.failure is not None}


def failure_line(source: str, message: str) -> str:
    """The line quadrix-cli --batch writes for a failed photo (without the
    program's name): the message, led by the photo when it does not name it."""
    return message if f"'{source}'" in message else f"{source}: {message}"


def resize_one(words: Sequence[str], source: str) -> Outcome:
    """One photo on a worker: quadrix-cli's words (up to, not with, SRC)."""
    outcome = Outcome(source)
    try:
        outcome.written, outcome.notices = quadrix._core.run_file([*words, source])
    except Exception as e:  # every failure is the photo's, as in the batch
        outcome.failure = failure_line(source, str(e) or type(e).__name__)
    return outcome


class _Progress:
    """The batch's progress line on a terminal: "[done/total] photo, m:ss left"."""

    def __init__(self, total: int, stream=None) -> None:
        stream = stream or sys.stderr
        self.total, self.done, self.stream = total, 0, stream
        self.shown = stream.isatty()
        self.start = time.monotonic()

    def line(self, text: str) -> None:
        self.clear()
        print(text, file=self.stream, flush=True)

    def finished(self, source: str) -> None:
        self.done += 1
        if not self.shown:
            return
        left = (time.monotonic() - self.start) / self.done * (self.total - self.done)
        text = f"[{self.done}/{self.total}] {source}, {int(left + 0.5) // 60}:{int(left + 0.5) % 60:02d} left"
        columns = max(20, os.get_terminal_size(self.stream.fileno()).columns - 1)
        if len(text) > columns:
            text = "..." + text[len(text) - columns + 3:]
        self.stream.write("\r\033[K" + text)
        self.stream.flush()

    def clear(self) -> None:
        if self.shown and self.done:
            self.stream.write("\r\033[K")


def run_batch(client, words: Sequence[str], sources: Sequence[str],
              say: Optional[Callable[[str], None]] = None) -> BatchReport:
    """Every source as one task on the client's cluster, with quadrix-cli's
    words (MODE last); each notice and failure handed to `say` as it comes."""
    from distributed import as_completed

    # The tasks name the function by its module (workers import it), also
    # when this file runs as the program (__main__).
    from quadrix.dask import resize_one

    progress = _Progress(len(sources)) if say is None else None
    report = say or (lambda text: progress.line(f"{PROG}: {text}"))
    futures = client.map(resize_one, [list(words)] * len(sources), sources, pure=False)
    outcomes: Dict[str, Outcome] = {}
    for future in as_completed(futures):
        outcome = future.result()
        outcomes[outcome.source] = outcome
        for notice in outcome.notices:
            report(notice)
        if outcome.failure is not None:
            report(outcome.failure)
        if progress is not None:
            progress.finished(outcome.source)
    if progress is not None:
        progress.clear()
    return BatchReport([outcomes[s] for s in sources])


def resize_files(client, sources: Sequence[str], output: str, size=None, *,
                 say: Optional[Callable[[str], None]] = None, **options) -> BatchReport:
    """quadrix.retarget_file(source, output, size, **options) for every source
    on the client's cluster, checked first as quadrix-cli --batch checks a
    batch (output needs {name} for several photos, no two photos may write
    one file, nothing given is overwritten): raises quadrix.ArgumentError
    before any photo is handed out. Failures do not raise: they are in the
    report (and handed to `say`, else printed as the batch prints them)."""
    sources = [os.fspath(s) for s in sources]
    words = quadrix._file_words("SRC", output, size, options.pop("importance", None),
                                options.pop("mesh", None), options.pop("importance_out", None),
                                options.pop("strip", False), options.pop("background", "white"),
                                options.pop("quality", None), _option_values(**options))
    # _file_words ends in "--", MODE, SRC.
    return _checked_batch(client, words[:-1], sources, say)


def _option_values(mode=1, min_scale=quadrix.DEFAULT_MIN_SCALE,
                   work_size=quadrix.DEFAULT_WORK_SIZE, max_pixels=quadrix.DEFAULT_MAX_PIXELS,
                   sharp=True, straight=True, even=True, faces=True, shapes=True, classic=False,
                   uniform=False, grid=False, show_importance=False, engine="builtin"):
    return (mode, min_scale, work_size, max_pixels, sharp, straight, even, faces, shapes,
            classic, uniform, grid, show_importance, engine)


def _checked_batch(client, words, sources, say) -> BatchReport:
    quadrix._core.check_command_line(["--batch", *words, *sources])
    return run_batch(client, words, sources, say)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=f"python3 -m {PROG}",
        description="Resize the photos of SRC_GLOB on a Dask cluster, as "
        "quadrix-cli --batch does on one machine.",
        epilog="Every other option is quadrix-cli's (quadrix-cli --help), for "
        "instance --size WxH (repeatable), --quality Q, --strip, --no-sharp.")
    p.add_argument("sources", metavar="SRC_GLOB",
                   help="the photos: a file name pattern (quote it), ** for subfolders")
    p.add_argument("output", metavar="OUT_PATTERN", help="the pictures, as quadrix-cli -o")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="a running scheduler (tcp://host:8786); default: a cluster "
                   "on this machine")
    p.add_argument("--workers", type=int, default=0, metavar="N",
                   help="worker processes of the cluster on this machine (default: "
                   "one per processor)")
    p.add_argument("--mode", default="1", choices=["0", "1"],
                   help="quadrix-cli's MODE (default 1)")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args, options = _parser().parse_known_args(argv)
    sources = sorted(glob.glob(args.sources, recursive=True))
    if not sources:
        print(f"{PROG}: no photo matches '{args.sources}'", file=sys.stderr)
        return 2
    words = [*options, "-o", args.output, "--", args.mode]
    try:
        quadrix._core.check_command_line(["--batch", *words, *sources])
    except quadrix.ArgumentError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 2
    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers or os.cpu_count() or 1,
                               threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        report = run_batch(client, words, sources)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    failed = len(report.failed)
    if failed:
        print(f"{failed} of {len(sources)} {'photo' if len(sources) == 1 else 'photos'} failed",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
