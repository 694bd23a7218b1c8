"""Operators split over PyTorch's threads give the bits of one call, and the errors of one call."""
from __future__ import annotations

import pytest
import torch

import vrel


@pytest.fixture
def threads():
    before = torch.get_num_threads()
    yield lambda n: torch.set_num_threads(n)
    torch.set_num_threads(before)


def both(threads, fn):
    threads(1)
    one = fn()
    threads(3)  # more parts than cores still splits: each part is a range of rows
    many = fn()
    return one, many


def assert_same_bits(one, many):
    for a, b in zip(one, many):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert torch.equal(a.view(torch.uint8) if a.dtype != torch.bool else a,
                           b.view(torch.uint8) if b.dtype != torch.bool else b)


def test_split_operators_equal_one_call_bit_for_bit(threads):
    g = torch.Generator().manual_seed(5)
    # Two batch elements for k-NN and closest point, whose ranges the parts cut through; coarse
    # coordinates make equal distances common.
    query = (torch.rand(5000, 3, generator=g) * 8).floor() / 8
    reference = torch.rand(3000, 3, generator=g)
    q_off = torch.tensor([0, 1700, 5000], dtype=torch.int32)
    r_off = torch.tensor([0, 2000, 3000], dtype=torch.int32)
    assert_same_bits(*both(threads, lambda: vrel.knn(query, reference, 6, q_off, r_off)))
    # The backward: query ranges for the query gradient, one part for the reference gradient.
    many_queries = torch.rand(50_000, 3, generator=g)
    _, index, valid = vrel.knn(many_queries, reference, 4)
    grad = torch.rand(50_000, 4, generator=g)
    assert_same_bits(*both(threads, lambda: torch.ops.vrel.knn_backward(
        many_queries, reference, index, valid, grad)))

    i, j = torch.meshgrid(torch.arange(21.0), torch.arange(21.0), indexing="ij")
    vertices = torch.stack([i / 20, j / 20, 0.1 * torch.sin(i) * torch.cos(j)], -1).reshape(-1, 3)
    a = (torch.arange(20)[:, None] * 21 + torch.arange(20)[None, :]).reshape(-1)
    faces = torch.cat([torch.stack([a, a + 1, a + 22], -1), torch.stack([a, a + 22, a + 21], -1)])
    faces = faces.to(torch.int32)
    points = torch.rand(4000, 3, generator=g) - 0.2
    assert_same_bits(*both(threads, lambda: vrel.closest_point_on_mesh(points, vertices, faces)))
    many_points = torch.rand(50_000, 3, generator=g) - 0.2
    _, face_index, barycentric, closest, valid = vrel.closest_point_on_mesh(
        many_points, vertices, faces)
    grad = torch.rand(50_000, generator=g)
    assert_same_bits(*both(threads, lambda: torch.ops.vrel.closest_point_on_mesh_backward(
        many_points, vertices, faces, face_index, barycentric, closest, valid, grad)))

    image = torch.rand(64, 48, 4, generator=g)
    pyramid, offsets = vrel.texture_pyramid(image)
    uv = torch.rand(70000, 2, generator=g) * 3 - 1
    lod = torch.rand(70000, generator=g) * 6
    assert_same_bits(*both(threads, lambda: (vrel.texture(pyramid, offsets, 64, 48, 4, uv, lod=lod),)))

    v = torch.rand(8, 5000, 3, generator=g)
    t = torch.rand(8, 9, 4, 4, generator=g)
    w = torch.rand(5000, 9, generator=g)
    assert_same_bits(*both(threads, lambda: (vrel.skin_lbs(v, t, w),)))
    grad = torch.rand(8, 5000, 3, generator=g)
    for need in ((True, True, True), (True, False, True), (False, True, False)):
        backward = lambda: torch.ops.vrel.skin_lbs_backward(v, t, w, grad, *need)
        assert_same_bits(*both(threads, lambda: [x for x, n in zip(backward(), need) if n]))


def test_split_geometry_and_raster_operators_equal_one_call_bit_for_bit(threads):
    g = torch.Generator().manual_seed(7)
    # Transforms by point (two batch elements cut through by the parts), the divide and its
    # backward by point, with points on the w = 0 plane among them.
    points = torch.rand(200_000, 3, generator=g) * 4 - 2
    matrices = torch.rand(2, 4, 4, generator=g)
    offsets = torch.tensor([0, 70_001, 200_000], dtype=torch.int32)
    assert_same_bits(*both(threads, lambda: (vrel.transform_points(points, matrices, offsets),)))
    grad = torch.rand(200_000, 4, generator=g)
    assert_same_bits(*both(threads, lambda: torch.ops.vrel.transform_points_backward(
        points, matrices, offsets, grad)))
    homogeneous = torch.rand(200_000, 4, generator=g) - 0.5
    homogeneous[::7, 3] = 0
    assert_same_bits(*both(threads, lambda: vrel.perspective_divide(homogeneous)))
    grad_ndc = torch.rand(200_000, 3, generator=g)
    backward = lambda: (torch.ops.vrel.perspective_divide_backward(homogeneous, 1e-12, grad_ndc),)
    assert_same_bits(*both(threads, backward))

    # Rasterization by bands of rows: overlapping faces at equal depths (ties keep the earlier
    # face), blur, faces on band edges; then interpolation by fragment over the result.
    ndc = torch.rand(300, 3, generator=g) * 2.4 - 1.2
    ndc[:, 2] = (ndc[:, 2] * 4).round() / 4
    faces = torch.randint(0, 300, (100, 3), generator=g, dtype=torch.int32)
    raster = lambda: vrel.rasterize(ndc, faces, image_height=131, image_width=127,  # noqa: E731
                                    faces_per_pixel=3, blur_radius_px=0.7)
    one, many = both(threads, raster)
    assert_same_bits(one, many)
    assert (one[0] >= 0).any(dim=-1).float().mean() > 0.5
    offsets = torch.tensor([0, 300], dtype=torch.int32), torch.tensor([0, 100], dtype=torch.int32)
    window = lambda: vrel.rasterize_window(  # noqa: E731
        ndc, faces, *offsets, 131, 127, 29, 11, 90, 100, faces_per_pixel=3, blur_radius_px=0.7)
    crop = both(threads, window)
    assert_same_bits(*crop)
    assert_same_bits(crop[1], [x[:, 29:119, 11:111] for x in one])
    corners = torch.rand(100, 3, 5, generator=g)
    assert_same_bits(*both(threads, lambda: (vrel.interpolate(one[0], one[1], corners),)))
    grad = torch.rand(*one[0].shape, 5, generator=g)
    assert_same_bits(*both(threads, lambda: torch.ops.vrel.interpolate_backward(
        one[0], one[1], corners, grad)))


def test_a_failing_part_reports_the_error_of_one_call(threads):
    query = torch.rand(5000, 3)
    reference = torch.rand(300, 3)
    bad = torch.tensor([0, 4000, 3000, 5000], dtype=torch.int32)  # decreasing
    r_off = torch.tensor([0, 100, 200, 300], dtype=torch.int32)
    messages = []
    for n in (1, 3):
        threads(n)
        with pytest.raises(RuntimeError) as error:
            vrel.knn(query, reference, 4, bad, r_off)
        messages.append(str(error.value).splitlines()[0])
    assert messages[0] == messages[1] and "query offsets" in messages[0]

    # Only the last part meets the bad face index: the others succeed, and the error is still
    # the one call's.
    face_index = torch.zeros(1, 64, 64, 16, dtype=torch.int32)
    face_index[0, -1, -1, -1] = 9
    barycentric = torch.rand(1, 64, 64, 16, 3)
    messages = []
    for n in (1, 3):
        threads(n)
        with pytest.raises(RuntimeError) as error:
            vrel.interpolate(face_index, barycentric, torch.rand(9, 3, 2))
        messages.append(str(error.value))
    assert messages[0] == messages[1] and "outside the attribute range" in messages[0]
