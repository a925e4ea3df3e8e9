"""quadrix.retarget and quadrix.Resizer against quadrix-cli's pictures and
meshes, and the arrays they refuse."""

import csv
import threading

import numpy
import pytest

import quadrix
from conftest import read_png, run_cli


def cli_picture(tmp_path, src, size, *options):
    out = str(tmp_path / "cli.png")
    run_cli("--size", f"{size[0]}x{size[1]}", "-o", out, *options, "1", src)
    return read_png(out)


def assert_close(ours, theirs):
    assert ours.shape == theirs.shape and ours.dtype == theirs.dtype
    diff = numpy.abs(ours.astype(numpy.int64) - theirs.astype(numpy.int64))
    assert diff.max() <= 2, f"{diff.max()} levels apart, {numpy.count_nonzero(diff > 2)} samples"


# Each kind of photo, narrower and wider; "big" is above the working size.
@pytest.mark.parametrize("kind,size", [("rgb", (600, 600)), ("rgb", (1100, 500)),
                                       ("rgba", (600, 640)), ("deep", (700, 600)),
                                       ("big", (1200, 1244))])
def test_retarget_draws_the_command_lines_picture(photos, tmp_path, kind, size):
    photo = read_png(photos[kind])
    ours = quadrix.retarget(photo, size)
    assert_close(ours, cli_picture(tmp_path, photos[kind], size))
    if kind == "rgba":  # transparency kept, and some of it really clear
        assert ours.shape[2] == 4 and (ours[..., 3] == 0).any()


def test_options_reach_the_picture_as_on_the_command_line(photos, tmp_path):
    photo = read_png(photos["rgb"])
    for keywords, words in [({"mode": 0, "min_scale": None}, ["--min-scale", "none"]),
                            ({"classic": True, "uniform": True}, ["--classic", "--uniform"]),
                            ({"grid": True}, ["--grid"])]:
        ours = quadrix.retarget(photo, (500, 600), **keywords)
        mode = str(keywords.get("mode", 1))
        out = str(tmp_path / "o.png")
        run_cli("--size", "500x600", "-o", out, *words, mode, photos["rgb"])
        assert_close(ours, read_png(out))


def read_mesh_csv(path, shape):
    with open(path) as f:
        rows = [r for r in csv.DictReader(f) if r["kind"] == "vertex"]
    xy = numpy.array([[float(r["x"]), float(r["y"])] for r in rows], numpy.float32)
    return xy.reshape(shape[0], shape[1], 2)


def test_resizer_solves_the_meshes_of_the_command_line(photos, tmp_path):
    resizer = quadrix.Resizer(read_png(photos["rgb"]))
    assert resizer.rest_size == (868, 600)
    sizes = [(600, 600), (1200, 500), (868, 600)]
    words = [w for s in sizes for w in ("--size", f"{s[0]}x{s[1]}")]
    run_cli(*words, "--mesh", str(tmp_path / "m_{w}x{h}.csv"), "1", photos["rgb"])
    for w, h in sizes:
        mesh = resizer.mesh((w, h))
        assert mesh.shape == resizer.grid_shape + (2,) and mesh.dtype == numpy.float32
        numpy.testing.assert_array_equal(mesh, read_mesh_csv(tmp_path / f"m_{w}x{h}.csv",
                                                             resizer.grid_shape))
        assert mesh[-1, -1].tolist() == [w, h]
    # A picture after other sizes is the picture of a fresh call.
    numpy.testing.assert_array_equal(resizer.render((600, 600)),
                                     quadrix.retarget(read_png(photos["rgb"]), (600, 600)))


def test_resizer_keeps_its_own_copy_of_the_photo(photos):
    photo = read_png(photos["rgb"])
    resizer = quadrix.Resizer(photo)
    before = resizer.render((500, 500))
    photo[:] = 0
    numpy.testing.assert_array_equal(resizer.render((500, 500)), before)


def test_an_importance_array_steers_the_mesh(photos):
    photo = read_png(photos["rgb"])
    flat = numpy.full(photo.shape[:2], 250, numpy.uint8)
    keep_left = flat.copy()
    keep_left[:, 434:] = 10
    a = quadrix.Resizer(photo, flat).mesh((500, 600))
    b = quadrix.Resizer(photo, keep_left).mesh((500, 600))
    mid = a.shape[1] // 2
    # With the right half unimportant, the left half keeps more of its width.
    assert b[0, mid, 0] > a[0, mid, 0] + 20


def photo_of(shape, dtype=numpy.uint8):
    return numpy.zeros(shape, dtype)


@pytest.mark.parametrize("image,message", [
    (photo_of((60, 80, 3), numpy.float32), "dtype float32: expected uint8 or uint16"),
    (photo_of((60, 80, 3), numpy.int16), "dtype int16"),
    (photo_of((60, 80)), r"shape \(60, 80\): expected height x width x 3"),
    (photo_of((60, 80, 2)), r"shape \(60, 80, 2\)"),
    (photo_of((0, 80, 3)), "empty"),
    (photo_of((60, 160, 3))[:, ::2], "not contiguous.*ascontiguousarray"),
    (photo_of((60, 80, 4))[..., :3], "not contiguous"),
    (numpy.broadcast_to(photo_of((1, 1, 3)), (30000, 30000, 3)), "not contiguous"),
    # Above the pixel limit: refused before any work (numpy.zeros maps no
    # memory until written).
    (photo_of((20000, 20000, 3)), "'image' is too large: 20000 x 20000 .*raise it with max_pixels"),
    (photo_of((5, 5, 3)), "too small: each side must be at least"),
    ([[1, 2], [3, 4]], "dtype int64"),
    ("photo.jpg", "file name: read it into an array first, or use retarget_file"),
])
def test_bad_images_raise_clear_value_errors(image, message):
    with pytest.raises(ValueError, match=message):
        quadrix.retarget(image, (50, 50))
    with pytest.raises(quadrix.ArgumentError, match=message):
        quadrix.Resizer(image)


@pytest.mark.parametrize("call,message", [
    (lambda p: quadrix.retarget(p, (0, 40)), r"invalid size \(0, 40\).*1 to 32768"),
    (lambda p: quadrix.retarget(p, (40, 40000)), "1 to 32768"),
    (lambda p: quadrix.retarget(p, 40), r"size must be \(width, height\)"),
    (lambda p: quadrix.retarget(p, (40, 4.5)), r"size must be \(width, height\)"),
    (lambda p: quadrix.retarget(p, (40, 40), min_scale=1.5), "invalid minimum quad scale '1.5'"),
    (lambda p: quadrix.retarget(p, (40, 40), work_size=5), "invalid working size '5'"),
    (lambda p: quadrix.retarget(p, (40, 40), max_pixels=100), "above the limit of 100 pixels"),
    (lambda p: quadrix.retarget(p, (40, 40), mode=2), "invalid mode 2"),
    (lambda p: quadrix.retarget(p, (40, 40), sharp="no"), "sharp must be True or False"),
    (lambda p: quadrix.retarget(p, (40, 40), engine="matlab"), "unknown engine 'matlab'"),
    (lambda p: quadrix.retarget(p, (40, 40), importance=numpy.zeros((60, 80), numpy.float64)),
     "importance has dtype float64: expected uint8"),
    (lambda p: quadrix.retarget(p, (40, 40), importance=numpy.zeros((30, 40), numpy.uint8)),
     "importance image 'importance' of 40 x 30 pixels does not fit"),
    (lambda p: quadrix.Resizer(p).mesh((40, -1)), r"invalid size \(40, -1\)"),
])
def test_bad_arguments_raise_clear_value_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call(numpy.full((60, 80, 3), 128, numpy.uint8))


def test_a_small_photo_gets_a_flat_map_with_a_notice():
    photo = numpy.full((60, 80, 3), 200, numpy.uint8)
    with pytest.warns(quadrix.Notice, match="too small to compute an importance map"):
        picture = quadrix.retarget(photo, (40, 60))
    assert picture.shape == (60, 40, 3) and (picture == 200).all()


def test_other_threads_run_while_a_photo_is_resized(photos):
    photo = read_png(photos["big"])
    done = threading.Event()
    worker = threading.Thread(target=lambda: (quadrix.retarget(photo, (900, 1244)), done.set()))
    turns = 0
    worker.start()
    while not done.is_set():
        turns += 1
    worker.join()
    # Holding the interpreter's lock for the half second of work would leave
    # this loop a few thousand turns at most.
    assert turns > 200000
