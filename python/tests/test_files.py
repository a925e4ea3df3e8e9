"""quadrix.retarget_file writes what quadrix-cli writes, and says what went
wrong with a file as an OSError."""

import os
import shutil

import pytest

import quadrix
from conftest import SOURCE_DIR, run_cli

SAMPLE = os.path.join(SOURCE_DIR, "data", "building.jpg")


def test_files_are_the_command_lines_byte_for_byte(tmp_path):
    # JPEG with the photo's metadata, and a PNG of two sizes with the mesh.
    written = quadrix.retarget_file(SAMPLE, str(tmp_path / "py" / "{name}.jpg"), (600, 600),
                                    quality=90)
    assert written == [str(tmp_path / "py" / "building.jpg")]
    run_cli("--size", "600x600", "--quality", "90", "-o", str(tmp_path / "cli" / "{name}.jpg"),
            "1", SAMPLE)
    sizes = [(500, 600), (1000, 600)]
    quadrix.retarget_file(SAMPLE, str(tmp_path / "py" / "{w}x{h}.png"), sizes, mode=0,
                          mesh=str(tmp_path / "py" / "{w}x{h}.csv"), strip=True)
    run_cli("--size", "500x600", "--size", "1000x600", "--strip", "-o",
            str(tmp_path / "cli" / "{w}x{h}.png"), "--mesh", str(tmp_path / "cli" / "{w}x{h}.csv"),
            "0", SAMPLE)
    names = sorted(os.listdir(tmp_path / "cli"))
    assert names == sorted(os.listdir(tmp_path / "py")) and len(names) == 5
    for name in names:
        with open(tmp_path / "py" / name, "rb") as a, open(tmp_path / "cli" / name, "rb") as b:
            assert a.read() == b.read(), name


def test_file_failures_are_os_errors_with_the_programs_messages(tmp_path):
    damaged = tmp_path / "damaged.jpg"
    with open(SAMPLE, "rb") as f:
        damaged.write_bytes(f.read()[:5000])
    blocked = tmp_path / "blocked"
    blocked.write_text("a file where a folder should be")
    cases = [
        (str(tmp_path / "none.jpg"), str(tmp_path / "o.png"), {},
         "cannot read the source image '.*none.jpg': no such file"),
        (str(damaged), str(tmp_path / "o.png"), {}, "cannot read the source image '.*damaged.jpg'"),
        (SAMPLE, str(blocked / "o.png"), {}, "blocked"),
        (SAMPLE, str(tmp_path / "o.png"), {"max_pixels": 1000}, "too large.*raise it with max_pixels"),
    ]
    for src, dst, options, message in cases:
        with pytest.raises(OSError, match=message) as caught:
            quadrix.retarget_file(src, dst, (300, 300), **options)
        assert isinstance(caught.value, quadrix.Error)
        assert not os.path.exists(tmp_path / "o.png")


def test_usage_errors_are_the_programs(tmp_path):
    for args, options, message in [
        ((SAMPLE, str(tmp_path / "o.gif"), (300, 300)), {}, "no image format for this extension"),
        ((SAMPLE, str(tmp_path / "o.png"), [(300, 300), (400, 300)]), {},
         "needs {w} or {h} when several sizes are given"),
        ((SAMPLE, SAMPLE, (300, 300)), {}, "would overwrite the source image"),
        ((SAMPLE, "-", (300, 300)), {}, "not streams"),
        ((SAMPLE, str(tmp_path / "o.png"), (300, 300)), {"quality": 0}, "invalid quality '0'"),
        ((SAMPLE, str(tmp_path / "o.png"), (300, 300)), {"background": "teal"}, "invalid colour"),
    ]:
        with pytest.raises(ValueError, match=message):
            quadrix.retarget_file(*args, **options)


def test_notices_are_warnings(tmp_path):
    src = tmp_path / "photo.png"
    shutil.copy(os.path.join(SOURCE_DIR, "tests", "data", "butterfly.jpg"), tmp_path / "b.jpg")
    run_cli("--uniform", "--size", "100x90", "-o", str(src), "1", str(tmp_path / "b.jpg"))
    with pytest.warns(quadrix.Notice, match="'.*photo.png': shorter side below 128 pixels"):
        quadrix.retarget_file(str(src), str(tmp_path / "o.png"), (80, 90))
