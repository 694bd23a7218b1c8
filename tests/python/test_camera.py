"""vrel.camera against hand-built matrices, against the pinhole formula and against each other."""
import math

import pytest
import torch

from vrel import camera

F64 = torch.float64


def test_look_at_matches_a_hand_built_view_and_keeps_its_geometry_in_batches():
    # From +x towards the origin: the camera looks down world -x, its right is world -z.
    expected = torch.tensor([[0, 0, -1, 0], [0, 1, 0, 0], [1, 0, 0, -2], [0, 0, 0, 1]], dtype=F64)
    torch.testing.assert_close(camera.look_at(torch.tensor([2.0, 0, 0], dtype=F64),
                                              [0.0, 0.0, 0.0]), expected)
    eye = torch.tensor([[1.0, 2.0, 3.0], [-4.0, 0.5, 1.0]], dtype=F64)
    target = torch.tensor([[0.0, 0.0, 0.0], [1.0, 1.0, -2.0]], dtype=F64)
    up = torch.tensor([0.3, 1.0, 0.1], dtype=F64)
    view = camera.look_at(eye, target, up)
    assert view.shape == (2, 4, 4)
    for b in range(2):
        assert torch.equal(view[b], camera.look_at(eye[b], target[b], up))
        rotation = view[b, :3, :3]
        torch.testing.assert_close(rotation @ rotation.T, torch.eye(3, dtype=F64))
        assert torch.det(rotation) > 0
        at = lambda p: view[b, :3, :3] @ p + view[b, :3, 3]  # noqa: E731
        torch.testing.assert_close(at(eye[b]), torch.zeros(3, dtype=F64))
        distance = (eye[b] - target[b]).norm()
        torch.testing.assert_close(at(target[b]), torch.stack([0 * distance, 0 * distance,
                                                               -distance]))
        up_in_camera = rotation @ up
        assert abs(up_in_camera[0]) < 1e-12 and up_in_camera[1] > 0
    with pytest.raises(ValueError, match="parallel"):
        camera.look_at([0.0, 3.0, 0.0], [0.0, 0.0, 0.0])


def test_projections_match_hand_built_matrices():
    perspective = torch.tensor([[0.5, 0, 0, 0], [0, 1, 0, 0], [0, 0, -2, -3], [0, 0, -1, 0]],
                               dtype=F64)
    torch.testing.assert_close(camera.perspective(torch.tensor(math.pi / 2, dtype=F64), 2.0, 1.0,
                                                  3.0), perspective)
    infinite = camera.perspective(torch.tensor(math.pi / 2, dtype=F64), 2.0, 1.0, math.inf)
    torch.testing.assert_close(infinite[2], torch.tensor([0, 0, -1.0, -2.0], dtype=F64))
    ortho = torch.tensor([[0.5, 0, 0, 0], [0, 1, 0, 0], [0, 0, -0.5, -1.5], [0, 0, 0, 1]],
                         dtype=F64)
    torch.testing.assert_close(camera.orthographic(torch.tensor(-2.0, dtype=F64), 2.0, -1.0, 1.0,
                                                   1.0, 5.0), ortho)
    # Batched over the field of view; the near and far planes land on NDC z = -1 and +1.
    fov = torch.tensor([0.5, 1.0, 1.5], dtype=F64)
    batch = camera.perspective(fov, 1.5, 0.2, 8.0)
    assert batch.shape == (3, 4, 4)
    for b in range(3):
        torch.testing.assert_close(batch[b], camera.perspective(fov[b], 1.5, 0.2, 8.0))
    for z, ndc_z in ((-0.2, -1.0), (-8.0, 1.0)):
        clip = batch @ torch.tensor([0.1, 0.2, z, 1.0], dtype=F64)
        torch.testing.assert_close(clip[:, 2] / clip[:, 3], torch.full((3,), ndc_z, dtype=F64))


def test_intrinsics_place_points_at_their_pinhole_pixels_and_agree_with_perspective():
    fx, fy, cx, cy, width, height = 70.0, 64.0, 30.5, 21.0, 64, 48
    projection = camera.from_intrinsics(torch.tensor(fx, dtype=F64), fy, cx, cy, width, height,
                                        0.1, 10.0)
    points = torch.tensor([[0.3, -0.2, -2.0], [-1.0, 0.4, -3.5], [0.0, 0.0, -0.5]], dtype=F64)
    clip = torch.cat([points, torch.ones(3, 1, dtype=F64)], 1) @ projection.T
    ndc = clip[:, :3] / clip[:, 3:]
    px, py = (ndc[:, 0] + 1) * width / 2, (1 - ndc[:, 1]) * height / 2
    torch.testing.assert_close(px, cx + fx * points[:, 0] / -points[:, 2])
    torch.testing.assert_close(py, cy - fy * points[:, 1] / -points[:, 2])
    # The same camera described twice: a centred, square-pixel pinhole is a perspective camera.
    fov = torch.tensor(0.9, dtype=F64)
    focal = (height / 2) / torch.tan(fov / 2)
    pinhole = camera.from_intrinsics(focal, focal, width / 2, height / 2, width, height, 0.1, 10.0)
    torch.testing.assert_close(pinhole, camera.perspective(fov, width / height, 0.1, 10.0))
