"""vrel.render_mesh, vrel.interpolate_attributes and vrel.Texture: near-plane clipping against a
mesh cut beforehand, perspective-correct interpolation against ray casting, screen-space
derivatives against neighbouring pixels, and float64 gradients against finite differences."""
import pytest
import torch
from torch.autograd import gradcheck

import vrel
from vrel import camera

F64 = torch.float64
QUAD_FACES = torch.tensor([[0, 1, 2], [0, 2, 3]], dtype=torch.int32)


def parallelogram(origin, edge_u, edge_v):
    """Corners origin + (s, t) . (edge_u, edge_v) for (s, t) = (0,0), (1,0), (1,1), (0,1), and
    those (s, t) as texture coordinates."""
    st = torch.tensor([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]], dtype=F64)
    origin, edge_u, edge_v = (torch.tensor(x, dtype=F64) for x in (origin, edge_u, edge_v))
    return origin + st[:, :1] * edge_u + st[:, 1:] * edge_v, st


def eye_camera(near=0.5, fov=1.3, aspect=1.0):
    """At the origin looking down -z, so eye space is world space."""
    return camera.Camera(torch.eye(4, dtype=F64),
                         camera.perspective(torch.tensor(fov, dtype=F64), aspect, near, 50.0))


def ray_cast_uv(cam, corners, height, width, shift=(0.0, 0.0)):
    """Texture coordinates of the parallelogram where the ray through each pixel centre, moved
    by shift (px, py), meets its plane."""
    rows, columns = torch.meshgrid(torch.arange(height, dtype=F64) + 0.5 + shift[1],
                                   torch.arange(width, dtype=F64) + 0.5 + shift[0], indexing="ij")
    x, y = 2 * columns / width - 1, 1 - 2 * rows / height
    inverse = torch.linalg.inv(cam.matrix)
    ends = [torch.stack([x, y, torch.full_like(x, z), torch.ones_like(x)], -1) @ inverse.T
            for z in (-1.0, 1.0)]
    start, end = (p[..., :3] / p[..., 3:] for p in ends)
    edge_u, edge_v = corners[1] - corners[0], corners[3] - corners[0]
    normal = torch.linalg.cross(edge_u, edge_v)
    along = ((corners[0] - start) @ normal) / ((end - start) @ normal)
    offset = start + along[..., None] * (end - start) - corners[0]
    gram = torch.stack([torch.stack([edge_u @ edge_u, edge_u @ edge_v]),
                        torch.stack([edge_u @ edge_v, edge_v @ edge_v])])
    along_edges = torch.stack([offset @ edge_u, offset @ edge_v], -1)[..., None]
    return torch.linalg.solve(gram, along_edges)[..., 0]


def wall():
    """A tilted wall from behind the camera (z = 2) to far ahead (z = -5), and the part of it
    in front of z = -0.5 cut beforehand, with texture coordinates."""
    corners, st = parallelogram([0.2, -0.4, 2.0], [0.15, 0.9, 0.0], [-0.1, 0.0, -7.0])
    cut = (2.0 + 0.5) / 7.0  # where the two long edges cross z = -0.5
    kept, kept_st = parallelogram([0.2 - 0.1 * cut, -0.4, -0.5], [0.15, 0.9, 0.0],
                                  [-0.1 * (1 - cut), 0.0, -7.0 * (1 - cut)])
    kept_st[:, 1] = cut + (1 - cut) * kept_st[:, 1]
    return corners, st, kept, kept_st


def test_a_quad_through_the_near_plane_renders_as_the_quad_cut_beforehand():
    corners, st, kept, kept_st = wall()
    cam = eye_camera()
    fragments = vrel.render_mesh(corners, QUAD_FACES, cam, 32, 2)
    reference = vrel.render_mesh(kept, QUAD_FACES, cam, 32, 2)
    covered = fragments.face_index >= 0
    assert covered[..., 0].sum() > 60 and torch.equal(covered, reference.face_index >= 0)
    uv = vrel.interpolate_attributes(fragments, st)
    torch.testing.assert_close(uv, vrel.interpolate_attributes(reference, kept_st))
    torch.testing.assert_close(fragments.depth[covered], reference.depth[covered])
    # Nothing behind the near plane: every fragment's eye-space depth is at least 0.5.
    z = vrel.interpolate_attributes(fragments, corners[:, 2:])
    assert (z[covered] <= -0.5 + 1e-9).all()
    # Without clipping, the corners behind the camera would flip through the divide instead.
    ndc = vrel.perspective_divide(vrel.transform_points(corners, cam.matrix[None]))[0]
    assert not torch.equal(vrel.rasterize(ndc, QUAD_FACES, image_height=32, image_width=32)[0]
                           >= 0, covered[..., :1])


def test_clipping_keeps_the_winding_that_culling_sees_and_batches_agree_with_single_renders():
    corners, st, kept, _ = wall()
    cam = eye_camera()
    kept_by = []
    for cull in (vrel.CULL_BACK, vrel.CULL_FRONT):
        covered = vrel.render_mesh(corners, QUAD_FACES, cam, 24, cull_mode=cull).face_index >= 0
        assert torch.equal(covered, vrel.render_mesh(kept, QUAD_FACES, cam, 24,
                                                     cull_mode=cull).face_index >= 0)
        kept_by.append(bool(covered.any()))
    assert sorted(kept_by) == [False, True]
    # Two cameras, only the first clipping the wall; per-element vertices and attributes.
    behind = camera.Camera(camera.look_at(torch.tensor([0.0, 0.2, 6.0], dtype=F64),
                                          [0.2, 0.0, -1.0]), cam.projection)
    both = torch.stack([cam.matrix, behind.matrix])
    moved = torch.stack([corners, corners + 0.05])
    batch = vrel.render_mesh(moved, QUAD_FACES, both, (20, 24), 2)
    uv = vrel.interpolate_attributes(batch, torch.stack([st, 1 - st]))
    for b, matrix in enumerate(both):
        single = vrel.render_mesh(moved[b], QUAD_FACES, matrix, (20, 24), 2)
        assert torch.equal(batch.face_index[b], single.face_index[0])
        assert torch.equal(batch.barycentric[b], single.barycentric[0])
        expected = vrel.interpolate_attributes(single, st if b == 0 else 1 - st)
        torch.testing.assert_close(uv[b], expected[0])


def test_perspective_correct_texture_coordinates_match_ray_casting_and_screen_space_is_raw():
    # A floor seen at a grazing angle, from eye height 1 towards the horizon.
    corners, st = parallelogram([-3.0, -1.0, -1.0], [6.0, 0.0, 0.0], [0.0, 0.0, -30.0])
    view = camera.look_at(torch.tensor([0.0, 0.0, 0.0], dtype=F64), [0.0, -0.15, -1.0])
    cam = camera.Camera(view, camera.perspective(torch.tensor(1.0, dtype=F64), 1.25, 0.1, 100.0))
    fragments = vrel.render_mesh(corners, QUAD_FACES, cam, (32, 40))
    covered = fragments.face_index[0, :, :, 0] >= 0
    assert covered.sum() > 300
    reference = ray_cast_uv(cam, corners, 32, 40)
    uv = vrel.interpolate_attributes(fragments, st)[0, :, :, 0]
    assert (uv[covered] - reference[covered]).abs().max() < 1e-5
    # Screen-space weights are those of the operators called by hand, bit for bit, and far
    # off the true texture coordinates at this angle.
    flat = vrel.render_mesh(corners, QUAD_FACES, cam, (32, 40), perspective_correct=False)
    ndc = vrel.perspective_divide(vrel.transform_points(corners, cam.matrix[None]))[0]
    raw = vrel.rasterize(ndc, QUAD_FACES, image_height=32, image_width=40)
    for mine, theirs in zip((flat.face_index, flat.barycentric, flat.depth,
                             flat.signed_distance), raw):
        assert torch.equal(mine, theirs)
    flat_uv = vrel.interpolate_attributes(flat, st)[0, :, :, 0]
    assert (flat_uv[covered] - reference[covered]).abs().max() > 0.05


def neighbour_differences(values, label):
    """Central differences of values [H,W,C] along px and py, [H-2,W-2,C,2], and where the
    pixel and both its neighbours along each axis carry the same label."""
    differences, same = [], []
    for dr, dc in ((0, 1), (1, 0)):  # px: one column right; py: one row down
        def at(step, grid):
            return grid[1 + step * dr:grid.shape[0] - 1 + step * dr,
                        1 + step * dc:grid.shape[1] - 1 + step * dc]
        differences.append((at(1, values) - at(-1, values)) / 2)
        same.append((at(0, label) >= 0) & (at(1, label) == at(0, label)) &
                    (at(-1, label) == at(0, label)))
    return torch.stack(differences, -1), torch.stack(same, -1)


def test_screen_space_derivatives_match_differences_across_neighbouring_pixels():
    # A clipped wall and a tilted floor in one mesh.
    corners, st, _, _ = wall()
    floor, floor_st = parallelogram([-2.0, -1.0, -1.5], [4.0, 0.0, -1.0], [0.5, 0.6, -6.0])
    cam, size = eye_camera(aspect=1.2), (48, 56)
    fragments = vrel.render_mesh(torch.cat([corners, floor]), torch.cat(
        [QUAD_FACES, QUAD_FACES + 4]), cam, size)
    values, slopes = vrel.interpolate_attributes(fragments, torch.cat([st, floor_st]),
                                                 derivatives=True)
    values, slopes = values[0, :, :, 0], slopes[0, :, :, 0]
    index = fragments.face_index[0, :, :, 0]
    quad = torch.where(index >= 0, index // 2, -1)
    # Perspective-correct values vary smoothly over each planar quad: the neighbours' central
    # difference agrees up to its truncation error (the third derivative: up to 16% of the
    # slope where the wall nears the camera; a wrong axis, sign or unit is off by 100%).
    central, same = neighbour_differences(values, quad)
    same = same[:, :, None, :].expand(central.shape)
    error = (slopes[1:-1, 1:-1] - central)[same].abs()
    assert int(same.sum()) > 1500 and (error < 0.2 * central[same].abs() + 1e-4).all()
    # ... and the derivative is exact: central differences of the ray-cast texture coordinates
    # over a step of 1e-5 pixels.
    for quad_index, (c, quad_st) in enumerate(((corners, st), (floor, floor_st))):
        covered = quad == quad_index
        for axis in range(2):
            step = [0.0, 0.0]
            step[axis] = 1e-5
            ahead = ray_cast_uv(cam, c, *size, step)
            step[axis] = -1e-5
            reference = (ahead - ray_cast_uv(cam, c, *size, step)) / 2e-5
            assert (slopes[..., axis][covered] - reference[covered]).abs().max() < 1e-7
    # Screen-space values are affine over each triangle: the central difference is exact.
    flat = vrel.render_mesh(floor, QUAD_FACES, cam, size, perspective_correct=False)
    values, slopes = vrel.interpolate_attributes(flat, floor_st, derivatives=True)
    central, same = neighbour_differences(values[0, :, :, 0], flat.face_index[0, :, :, 0])
    same = same[:, :, None, :].expand(central.shape)
    assert int(same.sum()) > 1000
    torch.testing.assert_close(slopes[0, 1:-1, 1:-1, 0][same], central[same], rtol=0, atol=1e-9)


def test_texture_takes_either_layout_refuses_ambiguity_and_reads_lod_from_derivatives():
    image = torch.rand(8, 16, 3, dtype=F64)
    texture = vrel.Texture(image)
    assert torch.equal(vrel.Texture(image.permute(2, 0, 1)).pyramid, texture.pyramid)
    assert torch.equal(vrel.Texture(image[..., 0]).pyramid, vrel.Texture(image[..., :1]).pyramid)
    with pytest.raises(ValueError, match="ambiguous"):
        vrel.Texture(torch.rand(3, 5, 4))
    assert vrel.Texture(torch.rand(3, 5, 4), layout="CHW").channels == 3
    with pytest.raises(ValueError, match="1 to 4"):
        vrel.Texture(torch.rand(8, 8, 6))
    uv = torch.rand(5, 7, 2, dtype=F64)
    slopes = torch.rand(5, 7, 2, 2, dtype=F64) * 0.4  # [..., (u, v), (px, py)]
    longest = torch.maximum((slopes[..., 0] * torch.tensor([16.0, 8.0], dtype=F64)).norm(dim=-1),
                            (slopes[..., 1] * torch.tensor([16.0, 8.0], dtype=F64)).norm(dim=-1))
    torch.testing.assert_close(texture.sample(uv, slopes), texture.sample(uv, lod=longest.log2()))
    assert texture(uv).shape == (5, 7, 3)


def test_gradients_through_clipping_interpolation_and_texturing_match_finite_differences():
    corners, st, _, _ = wall()
    vertices = (corners + 0.01 * torch.rand(4, 3, dtype=F64)).requires_grad_()
    eye = torch.tensor([0.02, 0.01, 0.1], dtype=F64, requires_grad=True)
    attributes = st.clone().requires_grad_()
    projection = camera.perspective(torch.tensor(1.3, dtype=F64), 1.0, 0.5, 50.0)

    def render(v, e, a):
        view = camera.look_at(e, e + torch.tensor([0.0, 0.0, -1.0], dtype=F64))
        fragments = vrel.render_mesh(v, QUAD_FACES, camera.Camera(view, projection), 8, 2)
        covered = fragments.face_index >= 0
        assert covered.sum() > 10
        values, slopes = vrel.interpolate_attributes(fragments, a, derivatives=True)
        return (values, slopes, fragments.barycentric,
                torch.where(covered, fragments.depth, 0.0),
                torch.where(covered, fragments.signed_distance, 0.0))

    assert gradcheck(render, (vertices, eye, attributes), eps=1e-6, atol=1e-5, rtol=1e-4)
    matrix = eye_camera().matrix.clone().requires_grad_()
    assert gradcheck(lambda m: vrel.render_mesh(corners, QUAD_FACES, m, 10).barycentric,
                     (matrix,), eps=1e-6, atol=1e-5, rtol=1e-4)
    image = torch.rand(6, 8, 2, dtype=F64, requires_grad=True)
    uv = torch.rand(9, 2, dtype=F64, requires_grad=True)
    slopes = torch.rand(9, 2, 2, dtype=F64) * 0.3
    assert gradcheck(lambda i, c: vrel.Texture(i).sample(c, slopes), (image, uv), eps=1e-6,
                     atol=1e-6)


def test_render_mesh_and_interpolation_refuse_mismatched_inputs_by_name():
    corners, st, _, _ = wall()
    cam = eye_camera()
    for args, message in (((corners, QUAD_FACES + 1, cam), "faces must index the 4 vertices"),
                          ((corners, QUAD_FACES, cam.matrix[:3]), "camera must be"),
                          ((corners.expand(2, 4, 3), QUAD_FACES, cam.matrix.expand(3, 4, 4)),
                           "2 vertex sets and 3 cameras")):
        with pytest.raises(ValueError, match=message):
            vrel.render_mesh(*args, 8)
    with pytest.raises(ValueError, match="V = 4"):
        vrel.interpolate_attributes(vrel.render_mesh(corners, QUAD_FACES, cam, 8), st[:3])
