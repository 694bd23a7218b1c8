"""The demo at a reduced size: its render shows the mesh exactly where the rasterizer put it, the
exact render covers exactly the mesh's projected area and smooths the rasterizer's hard edges,
both fits lower the silhouette loss by more than an order of magnitude, and every file decodes."""
import pathlib
import sys

import numpy as np
import pytest
import torch

PIL = pytest.importorskip("PIL.Image")

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo"
sys.path.insert(0, str(DEMO))
import demo  # noqa: E402
import exact as exact_module  # noqa: E402

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


def test_exact_coverage_sums_to_the_area_of_the_projected_mesh(run):
    """Every face (back faces included) projected and united by shapely, independently of the
    renderer's own front-face selection."""
    shapely = pytest.importorskip("shapely")
    exact = run["exact"]
    size = exact["image"].shape[0]
    corners = exact["pixels"][:, :2][run["faces"].long()].numpy()
    union = shapely.union_all(shapely.polygons(corners)).intersection(shapely.box(0, 0, size, size))
    coverage = exact["integrals"][..., 3]
    assert 0.05 * size * size < union.area < 0.9 * size * size
    assert float(coverage.sum()) == pytest.approx(union.area, rel=1e-11)
    assert float(coverage.min()) >= 0.0 and float(coverage.max()) <= 1.0 + 1e-12


def test_the_exact_render_shows_the_surface_the_rasterizer_sees(run):
    """Inside the silhouette the pixel means of the exact render match the rasterizer's centre
    samples of the same colours (a hidden surface would not)."""
    exact = run["exact"]
    inside = (exact["integrals"][..., 3] > 1 - 1e-12) & exact["covered"]
    difference = (exact["image"] - exact["raster"]).abs().amax(-1)[inside]
    assert int(inside.sum()) > 100 and float(difference.median()) < 0.005


def test_the_exact_edge_is_graded_where_the_raster_edge_steps(run):
    exact = run["exact"]
    rows, columns = exact["window"]
    covered = exact["covered"][rows, columns]
    coverage = exact["integrals"][..., 3][rows, columns]
    # The raster crop is a hard step: background or a covered colour, nothing between.
    background = vrel.srgb_transfer(torch.tensor(exact_module.BACKGROUND, dtype=torch.float64),
                                    vrel.LINEAR_TO_SRGB)
    is_background = (exact["raster"][rows, columns] == background).all(-1)
    assert torch.equal(is_background, ~covered)
    steps = 0
    for a, b in ((covered[:, :-1], covered[:, 1:]), (covered[:-1], covered[1:])):
        steps += int((a != b).sum())
    assert steps >= len(covered) // 2
    # Across each step the boundary passes between two pixel centres: one of the two pixels is
    # partly covered.
    partial = (coverage > 1e-9) & (coverage < 1 - 1e-9)
    for a, b, pa, pb in ((covered[:, :-1], covered[:, 1:], partial[:, :-1], partial[:, 1:]),
                         (covered[:-1], covered[1:], partial[:-1], partial[1:])):
        assert bool(((pa | pb) | (a == b)).all())
    assert int(partial.sum()) >= steps // 3


def test_exact_fit_lowers_the_loss_by_an_order_of_magnitude(run):
    losses = run["exact"]["losses"]
    assert len(losses) == len(run["losses"]) == 60
    assert losses[-1] * 10 < losses[0]


def test_the_second_act_runs_on_its_own(tmp_path):
    result = demo.main(["--act", "2", "--size", "32", "--fit-size", "24", "--iterations", "2",
                        "--out", str(tmp_path)])
    assert len(result["exact"]["losses"]) == 2 and "losses" not in result
    written = {path.name for path in tmp_path.iterdir()}
    assert "exact_render.png" in written and "render.png" not in written


def test_every_output_decodes(run):
    names = ["render.png", "target_silhouette.png", "fit_before.png", "fit_after.png",
             "fit_silhouette.png", "loss.png", "exact_render.png", "raster_render.png",
             "exact_edge.png", "raster_edge.png", "exact_target.png", "exact_fit_silhouette.png",
             "losses.png", "contact_sheet.png"]
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
