"""Content-aware resizing of photos held as NumPy arrays or files.

A grid of quads is laid over the photo; an importance map and the detected
lines weight one least-squares energy that asks every quad and line to move
only by a similarity. The energy is factored once per photo and solved for
any size, so important regions and straight lines keep their shape while
flat regions take the stretch. This is the resizer of the program
quadrix-cli, with the same options under Python names and the same defaults.

    import numpy, quadrix
    from PIL import Image

    photo = numpy.asarray(Image.open("photo.jpg").convert("RGB"))
    wide = quadrix.retarget(photo, (1600, 600))      # H x W x 3 uint8
    Image.fromarray(wide).save("wide.png")

    r = quadrix.Resizer(photo)                        # analyse and factor once
    for size in [(800, 600), (1200, 600)]:
        picture = r.render(size)                      # one solve and one drawing each

    quadrix.retarget_file("photo.jpg", "out/{name}_{w}x{h}.jpg", (1080, 1080))

Arrays are H x W x 3 (RGB) or H x W x 4 (RGBA, straight alpha) of uint8 or
uint16, in the order Pillow, imageio and scikit-image give them (OpenCV's
cv2.imread gives BGR: reverse it first with image[..., ::-1].copy()).
Pictures come back with the photo's channels and dtype. Sizes are
(width, height).

Failures raise quadrix.ArgumentError (a ValueError) for bad arguments and
arrays, quadrix.FileError (an OSError) for files, and quadrix.Error, the
base of both, for the rest, each with the program's message. What the
resize chose to tell (a flat importance map for a small photo, 16 bits
brought to 8 for a JPEG) comes as a warnings.warn of quadrix.Notice.

The work runs with the interpreter's lock released, so threads resize
photos in parallel. The keywords stand in for quadrix-cli's environment
variables (QUADRIX_MIN_SCALE and the like), which the package does not read.
quadrix.dask resizes a folder on a Dask cluster.
"""

from __future__ import annotations

import numbers
import operator
import os
import warnings
from typing import Optional, Sequence, Tuple, Union

import numpy

from . import _core
from ._core import ArgumentError, Error, FileError, Notice

__all__ = [
    "retarget",
    "retarget_file",
    "Resizer",
    "Error",
    "ArgumentError",
    "FileError",
    "Notice",
    "DEFAULT_MIN_SCALE",
    "DEFAULT_WORK_SIZE",
    "DEFAULT_MAX_PIXELS",
]
__version__ = _core.VERSION

#: Every quad keeps at least this share of the size plain scaling gives it.
DEFAULT_MIN_SCALE: float = _core.DEFAULT_MIN_SCALE
#: Photos longer than this are analysed and solved on a copy reduced to it.
DEFAULT_WORK_SIZE: int = _core.DEFAULT_WORK_SIZE
#: The largest photo or importance image, in pixels.
DEFAULT_MAX_PIXELS: int = _core.DEFAULT_MAX_PIXELS

Size = Tuple[int, int]

_OPTIONS_DOC = """
    mode: 1 also pulls each quad towards a uniform scale; 0 keeps the
        similarity energy alone (quadrix-cli's MODE).
    min_scale: every quad keeps at least this share (between 0 and 1) of the
        size plain scaling gives it, so that the mesh never folds; None
        solves without the guard (--min-scale none).
    work_size: a photo longer than this many pixels is analysed and solved
        on a copy reduced to it, and the photo itself is drawn through the
        mesh found there; None works at the photo's own size.
    max_pixels: a larger photo or importance image is refused.
    sharp, straight, even, faces, shapes: what the picture adds to the plain
        mesh energy, each on by default (quadrix-cli's --no-sharp, ...).
    classic: all five off, the plain mesh energy's result.
    uniform: draw the evenly spaced grid (plain scaling) instead.
    grid: draw the mesh lines on top; show_importance: draw the importance
        map instead of the photo. Both, and sharp=False, draw an 8-bit RGB
        picture through OpenGL off screen (on the processor without it).
    engine: "builtin" (in process) or "octave" (GNU Octave's octave-cli).
"""


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, (bool, numpy.bool_)):
        raise ArgumentError(f"{name} must be True or False, not {value!r}")
    return bool(value)


def _whole(name: str, value: object) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise ArgumentError(f"{name} must be a whole number, not {value!r}") from None


def _size(size: object) -> Size:
    """(width, height) from a pair of whole numbers."""
    try:
        width, height = size  # type: ignore[misc]
        width, height = operator.index(width), operator.index(height)
    except (TypeError, ValueError):
        raise ArgumentError(
            f"size must be (width, height) in whole pixels, not {size!r}"
        ) from None
    if not (1 <= width <= _core.MAX_SIDE and 1 <= height <= _core.MAX_SIDE):
        raise ArgumentError(f"invalid size ({width}, {height}): each side must be a whole "
                            f"number from 1 to {_core.MAX_SIDE}")
    return width, height


def _warn(notices, stacklevel: int) -> None:
    for text in notices:
        warnings.warn(text, Notice, stacklevel=stacklevel + 1)


def _option_words(mode, min_scale, work_size, max_pixels, sharp, straight, even, faces,
                  shapes, classic, uniform, grid, show_importance, engine) -> list:
    """quadrix-cli's MODE and option words for the keywords; the program's
    parser checks the values."""
    if _whole("mode", mode) not in (0, 1):
        raise ArgumentError(
            f"invalid mode {mode!r}: 0 (similarity only) or 1 (with the scale term)")
    words = [str(int(mode))]
    if min_scale is None:
        words += ["--min-scale", "none"]
    elif isinstance(min_scale, numbers.Real) and not isinstance(min_scale, bool):
        words += ["--min-scale", repr(float(min_scale))]
    else:
        raise ArgumentError(f"min_scale must be a number or None, not {min_scale!r}")
    words += ["--work-size", "none" if work_size is None else str(_whole("work_size", work_size))]
    words += ["--max-pixels", str(_whole("max_pixels", max_pixels))]
    if not isinstance(engine, str):
        raise ArgumentError(f"engine must be 'builtin' or 'octave', not {engine!r}")
    words += ["--engine", engine]
    if _flag("classic", classic):
        words.append("--classic")
    for name, value in (("sharp", sharp), ("straight", straight), ("even", even),
                        ("faces", faces), ("shapes", shapes)):
        if not _flag(name, value):
            words.append("--no-" + name)
    for name, value in (("uniform", uniform), ("grid", grid),
                        ("show_importance", show_importance)):
        if _flag(name, value):
            words.append("--" + name.replace("_", "-"))
    return words


def _array(name: str, value: object) -> numpy.ndarray:
    if isinstance(value, (str, bytes, os.PathLike)):
        raise ArgumentError(
            f"{name} is a file name: read it into an array first, or use retarget_file")
    return numpy.asarray(value)


class Resizer:
    """One photo analysed and factored once, then solved and drawn at any size.

    Resizer(image, importance=None, *, mode=1, ...) does the costly part:
    the importance map, the lines, the energy and its factor. Each
    .mesh(size) is then one solve and each .render(size) one solve and one
    drawing, as quadrix-cli does for each --size. The resizer keeps its own
    copy of the image; calls from several threads take turns.

    image: H x W x 3 (RGB) or x 4 (RGBA) array of uint8 or uint16.
    importance: H x W uint8 array (grey 250 = full importance, as the
        program's importance files), or None to compute the map. Its size
        must round to the same whole quads as the photo's.
    """ + _OPTIONS_DOC

    def __init__(self, image, importance=None, *, mode: int = 1,
                 min_scale: Optional[float] = DEFAULT_MIN_SCALE,
                 work_size: Optional[int] = DEFAULT_WORK_SIZE,
                 max_pixels: int = DEFAULT_MAX_PIXELS, sharp: bool = True,
                 straight: bool = True, even: bool = True, faces: bool = True,
                 shapes: bool = True, classic: bool = False, uniform: bool = False,
                 grid: bool = False, show_importance: bool = False,
                 engine: str = "builtin") -> None:
        self._resizer = _make(image, importance, True, mode, min_scale, work_size, max_pixels,
                              sharp, straight, even, faces, shapes, classic, uniform, grid,
                              show_importance, engine)
        _warn(self._resizer.notices, 2)

    @property
    def grid_shape(self) -> Tuple[int, int]:
        """Grid vertices down and across: the first two sides of .mesh()."""
        return self._resizer.grid_shape

    @property
    def rest_size(self) -> Size:
        """(width, height) the grid spans at rest: the photo's own size."""
        return self._resizer.rest_size

    def mesh(self, size: Size) -> numpy.ndarray:
        """The grid's vertices solved for size (width, height): an array of
        grid_shape + (2,) float32, [row, column] = (x, y) in pixels of the
        new size, origin top left; the vertex rows of quadrix-cli --mesh."""
        return self._resizer.mesh(*_size(size))

    def render(self, size: Size) -> numpy.ndarray:
        """The picture at exactly size (width, height), as quadrix-cli -o draws
        it: the photo's channels and dtype, where no quad lies white (or
        transparent in RGBA)."""
        return self._resizer.render(*_size(size))


def _make(image, importance, copy, *option_values):
    photo = _array("image", image)
    grey = None if importance is None else _array("importance", importance)
    return _core.Resizer(photo, grey, _option_words(*option_values), copy)


def retarget(image, size: Size, *, importance=None, mode: int = 1,
             min_scale: Optional[float] = DEFAULT_MIN_SCALE,
             work_size: Optional[int] = DEFAULT_WORK_SIZE,
             max_pixels: int = DEFAULT_MAX_PIXELS, sharp: bool = True, straight: bool = True,
             even: bool = True, faces: bool = True, shapes: bool = True,
             classic: bool = False, uniform: bool = False, grid: bool = False,
             show_importance: bool = False, engine: str = "builtin") -> numpy.ndarray:
    """The photo resized to size (width, height), content-aware.

    image: H x W x 3 (RGB) or x 4 (RGBA) array of uint8 or uint16; it must
        not change while the call runs.
    importance: None to compute the map, or an H x W uint8 array (see
        Resizer).
    Returns a new array of size[1] x size[0] with the photo's channels and
    dtype (see Resizer.render).
    """
    target = _size(size)
    resizer = _make(image, importance, False, mode, min_scale, work_size, max_pixels, sharp,
                    straight, even, faces, shapes, classic, uniform, grid, show_importance,
                    engine)
    _warn(resizer.notices, 2)
    return resizer.render(*target)


retarget.__doc__ += _OPTIONS_DOC


def _file_words(src, dst, size, importance, mesh, importance_out, strip, background, quality,
                option_values) -> list:
    """quadrix-cli's words for one photo to its files."""
    paths = {"src": src, "dst": dst}
    for name, value in (("importance", importance), ("mesh", mesh),
                        ("importance_out", importance_out)):
        if value is not None:
            paths[name] = value
    for name, value in paths.items():
        if not isinstance(value, (str, os.PathLike)):
            raise ArgumentError(f"{name} must be a path, not {value!r}")
        paths[name] = os.fspath(value)
        if paths[name] == "-":
            raise ArgumentError(f"{name} '-': the module reads and writes files, not streams")
    if size is None:
        sizes = []
    elif len(size) == 2 and all(isinstance(v, numbers.Integral) for v in size):
        sizes = [_size(size)]
    else:
        sizes = [_size(s) for s in size]
    words = _option_words(*option_values)
    mode = words.pop(0)
    for width, height in sizes:
        words += ["--size", f"{width}x{height}"]
    words += ["-o", paths["dst"]]
    if "importance" in paths:
        words += ["--importance-pattern", paths["importance"]]
    if "mesh" in paths:
        words += ["--mesh", paths["mesh"]]
    if "importance_out" in paths:
        words += ["--importance-out", paths["importance_out"]]
    if _flag("strip", strip):
        words.append("--strip")
    if not isinstance(background, str):
        raise ArgumentError(f"background must be a colour name or '#RRGGBB', not {background!r}")
    words += ["--background", background]
    if quality is not None:
        words += ["--quality", str(_whole("quality", quality))]
    return words + ["--", mode, paths["src"]]


def retarget_file(src, dst, size: Union[Size, Sequence[Size], None], *, importance=None,
                  mesh=None, importance_out=None, strip: bool = False,
                  background: str = "white", quality: Optional[int] = None, mode: int = 1,
                  min_scale: Optional[float] = DEFAULT_MIN_SCALE,
                  work_size: Optional[int] = DEFAULT_WORK_SIZE,
                  max_pixels: int = DEFAULT_MAX_PIXELS, sharp: bool = True,
                  straight: bool = True, even: bool = True, faces: bool = True,
                  shapes: bool = True, classic: bool = False, uniform: bool = False,
                  grid: bool = False, show_importance: bool = False,
                  engine: str = "builtin") -> list:
    """The photo file src resized and written to dst, as quadrix-cli writes it.

    `quadrix.retarget_file(src, dst, (w, h), **options)` is
    `quadrix-cli --size WxH -o DST [options] MODE SRC`: the same picture,
    metadata (EXIF, XMP, IPTC, colour profile) and format handling, written
    under a temporary name and renamed into place.

    dst: the picture's path; its extension chooses the format (.png, .jpg,
        .bmp, .tif, .webp). {w} and {h} stand for the size, {dir} for src's
        folder and {name} for its name without extension; missing folders
        are made.
    size: (width, height), a list of them (dst then needs {w} or {h}), or
        None for the photo's own size.
    importance: the importance image's path (grey, 250 = full importance;
        {dir} and {name} as in dst), or None to compute the map.
    mesh: also write each size's solved mesh as CSV to this pattern.
    importance_out: also write the importance map used to this pattern.
    strip: write no metadata into the pictures.
    background: what a transparent photo is put on in a JPEG or BMP
        (white, black, grey or #RRGGBB).
    quality: JPEG and WebP quality 1 to 100; None: JPEG 95, WebP lossless.
    Returns the pictures written. Raises FileError for a file that cannot
    be read or written.
    """
    words = _file_words(src, dst, size, importance, mesh, importance_out, strip, background,
                        quality, (mode, min_scale, work_size, max_pixels, sharp, straight, even,
                                  faces, shapes, classic, uniform, grid, show_importance,
                                  engine))
    written, notices = _core.run_file(words)
    _warn(notices, 2)
    return written


retarget_file.__doc__ += _OPTIONS_DOC
