"""What the tests share: the command-line tool, the photos, and PNG files
read and written with the standard library (the tests need no imaging
package beside the module)."""

import os
import struct
import subprocess
import zlib

import numpy
import pytest

SOURCE_DIR = os.path.join(os.path.dirname(__file__), "..", "..")


def cli_path():
    return os.environ.get("QUADRIX_CLI", os.path.join(SOURCE_DIR, "build", "release",
                                                      "quadrix-cli"))


def run_cli(*words, check=True):
    """quadrix-cli WORDS; returns the finished process (text output)."""
    done = subprocess.run([cli_path(), *words], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"quadrix-cli {' '.join(words)}: {done.stderr}")
    return done


def _unfilter(raw, height, row_bytes, bpp):
    """The rows of a PNG's image data with the none, sub and up filters
    undone (quadrix-cli writes sub, the tests none)."""
    out = numpy.zeros((height, row_bytes), numpy.uint8)
    prev = numpy.zeros(row_bytes, numpy.int64)
    for y in range(height):
        at = y * (1 + row_bytes)
        kind = raw[at]
        line = numpy.frombuffer(raw, numpy.uint8, row_bytes, at + 1).astype(numpy.int64)
        if kind == 1:
            line = numpy.cumsum(line.reshape(-1, bpp), axis=0).reshape(-1)
        elif kind == 2:
            line = line + prev
        else:
            assert kind == 0, f"PNG filter {kind}"
        prev = line & 255
        out[y] = prev
    return out


def read_png(path):
    """A non-interlaced 8- or 16-bit RGB or RGBA PNG as an H x W x C array."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {2: 3, 6: 4}[colour]
    assert depth in (8, 16) and interlace == 0, path
    bpp = channels * depth // 8
    rows = _unfilter(zlib.decompress(idat), height, width * bpp, bpp)
    if depth == 16:
        rows = rows[:, 0::2].astype(numpy.uint16) * 256 + rows[:, 1::2]
    return rows.reshape(height, width, channels)


def write_png(path, image):
    """An H x W x 3 or 4 uint8 or uint16 array as a PNG."""
    height, width, channels = image.shape
    depth = 16 if image.dtype == numpy.uint16 else 8
    pixels = image.astype(">u2") if depth == 16 else image
    raw = b"".join(b"\0" + pixels[y].tobytes() for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + \
            struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    colour = {3: 2, 4: 6}[channels]
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


@pytest.fixture(scope="session")
def photos(tmp_path_factory):
    """PNG photos both the module and quadrix-cli read: the sample (RGB),
    a cut-out of it (RGBA, partly transparent), a 16-bit copy, and one
    larger than the working size. Made from the bundled JPEG by the tool."""
    folder = tmp_path_factory.mktemp("photos")
    sample = os.path.join(SOURCE_DIR, "data", "building.jpg")
    rgb_path = str(folder / "rgb.png")
    run_cli("--uniform", "--size", "868x600", "-o", rgb_path, "1", sample)
    rgb = read_png(rgb_path)
    h, w, _ = rgb.shape
    # An alpha that fades out towards the left and is clear in one corner.
    alpha = numpy.clip(numpy.linspace(0, 400, w)[None, :] + numpy.zeros((h, 1)), 0, 255)
    alpha[: h // 4, : w // 4] = 0
    rgba = numpy.dstack([rgb, alpha.astype(numpy.uint8)])
    write_png(str(folder / "rgba.png"), rgba)
    # 16 bits with detail below the high byte.
    deep = rgb.astype(numpy.uint16) * 257 + (numpy.arange(w, dtype=numpy.uint16) * 37 % 200)[
        None, :, None]
    write_png(str(folder / "deep.png"), deep)
    big_path = str(folder / "big.png")
    run_cli("--uniform", "--size", "1800x1244", "-o", big_path, "1", sample)
    return {"rgb": rgb_path, "rgba": str(folder / "rgba.png"), "deep": str(folder / "deep.png"),
            "big": big_path}
