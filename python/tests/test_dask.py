"""A folder resized on a Dask cluster of two worker processes gives the
pictures and the failure reports of quadrix-cli --batch -j 2."""

import os
import shutil

import pytest

from conftest import SOURCE_DIR, run_cli

distributed = pytest.importorskip("distributed")
import quadrix.dask  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as c:
        yield c


@pytest.fixture
def folder(tmp_path):
    photos = tmp_path / "photos"
    photos.mkdir()
    for name in ["data/building.jpg", "tests/data/butterfly.jpg",
                 "tests/data/grace_hopper_small.jpg"]:
        shutil.copy(os.path.join(SOURCE_DIR, name), photos)
    with open(os.path.join(SOURCE_DIR, "data", "building.jpg"), "rb") as f:
        (photos / "damaged.jpg").write_bytes(f.read()[:4000])
    return tmp_path


def outputs(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


def test_a_folder_on_the_cluster_is_the_batch(cluster, folder, capsys):
    src = str(folder / "photos" / "*.jpg")
    status = quadrix.dask.main(["--scheduler", cluster.scheduler_address, src,
                                str(folder / "dask" / "{name}_{w}x{h}.png"), "--size", "400x300",
                                "--size", "300x300"])
    report = capsys.readouterr().err.splitlines()
    sources = sorted(str(p) for p in (folder / "photos").iterdir())
    batch = run_cli("--batch", "-j", "2", "--size", "400x300", "--size", "300x300", "-o",
                    str(folder / "cli" / "{name}_{w}x{h}.png"), "1", *sources, check=False)
    assert status == batch.returncode == 1
    theirs = outputs(folder / "cli")
    assert outputs(folder / "dask") == theirs and len(theirs) == 6
    # The same lines, the damaged photo named; the program's name aside.
    cli_lines = [line.replace("quadrix-cli: ", "") for line in batch.stderr.splitlines()]
    assert [line.replace("quadrix.dask: ", "") for line in report] == cli_lines
    assert "damaged.jpg" in cli_lines[0] and cli_lines[-1] == "1 of 4 photos failed"


def test_resize_files_reports_instead_of_raising(cluster, folder):
    sources = sorted(str(p) for p in (folder / "photos").iterdir())
    said = []
    with distributed.Client(cluster) as client:
        report = quadrix.dask.resize_files(client, sources, str(folder / "out" / "{name}.jpg"),
                                           (500, 500), quality=85, say=said.append)
        with pytest.raises(ValueError, match="needs {name} in --batch mode"):
            quadrix.dask.resize_files(client, sources, str(folder / "x.png"), (50, 50))
    assert list(report.failed) == [str(folder / "photos" / "damaged.jpg")]
    assert set(report.failed.values()) <= set(said)
    written = [o.written for o in report.outcomes if o.failure is None]
    assert written == [[str(folder / "out" / f"{n}.jpg")] for n in
                       ["building", "butterfly", "grace_hopper_small"]]
    run_cli("--quality", "85", "--size", "500x500", "-o", str(folder / "one.jpg"), "1",
            str(folder / "photos" / "grace_hopper_small.jpg"))
    assert (folder / "one.jpg").read_bytes() == (folder / "out" / "grace_hopper_small.jpg").read_bytes()
