"""The demo at a reduced size: its render shows the mesh exactly where the rasterizer put it, the
fit lowers the silhouette loss by more than an order of magnitude, and every file decodes."""
import pathlib
import sys

import numpy as np
import pytest

PIL = pytest.importorskip("PIL.Image")

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo"
sys.path.insert(0, str(DEMO))
import demo  # noqa: E402

import vrel  # noqa: E402


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    return demo.main(["--size", "64", "--fit-size", "48", "--iterations", "60", "--out", str(out)])


def test_render_matches_the_face_index_buffer(run):
    image, face_index = run["image"], run["face_index"]
    covered = face_index >= 0
    assert 0.05 < covered.mean() < 0.9
    background = np.array([0.08, 0.09, 0.12])
    is_background = np.all(np.isclose(image, background), axis=-1)
    np.testing.assert_array_equal(is_background, ~covered)
    # The written PNG holds the same picture, decoded by an independent decoder.
    decoded = np.asarray(PIL.open(run["out"] / "render.png").convert("RGB"), dtype=np.float64) / 255
    np.testing.assert_allclose(decoded, image, atol=0.5 / 255 + 1e-9)


def test_fit_lowers_the_loss_by_an_order_of_magnitude(run):
    losses = run["losses"]
    assert len(losses) == 60
    assert losses[-1] * 10 < losses[0]


def test_every_output_decodes(run):
    names = ["render.png", "target_silhouette.png", "fit_before.png", "fit_after.png",
             "fit_silhouette.png", "loss.png"]
    for name in names:
        with PIL.open(run["out"] / name) as picture:
            picture.load()
            assert picture.size[0] > 0 and picture.size[1] > 0


def test_png_writer_round_trips_grey_and_rgb(tmp_path):
    rng = np.random.default_rng(1)
    rgb = rng.integers(0, 256, size=(7, 5, 3), dtype=np.uint8)
    grey = rng.integers(0, 256, size=(3, 9), dtype=np.uint8)
    vrel.io.png_write(tmp_path / "rgb.png", rgb)
    vrel.io.png_write(tmp_path / "grey.png", grey)
    np.testing.assert_array_equal(np.asarray(PIL.open(tmp_path / "rgb.png")), rgb)
    np.testing.assert_array_equal(np.asarray(PIL.open(tmp_path / "grey.png")), grey)
