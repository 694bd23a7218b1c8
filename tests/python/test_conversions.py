"""Conversions at the Python boundary: int64 and list indices become int32 after a range check,
strided tensors become contiguous, generator keys and counters may be Python integers."""
import os
import pathlib
import subprocess
import sys

import pytest
import torch

import vrel
from conftest import tetrahedron, whole


def test_int64_and_list_indices_give_the_int32_results():
    vertices, faces = tetrahedron()
    for converted in (faces.long(), faces.tolist(), faces.to(torch.int16)):
        for got, expected in zip(vrel.face_geometry(vertices, converted),
                                 vrel.face_geometry(vertices, faces)):
            assert torch.equal(got, expected)
    topology = vrel.build_edge_topology(faces.long(), torch.tensor([0, 1, 4]))
    assert all(torch.equal(a, b) for a, b in
               zip(topology, vrel.build_edge_topology(faces, torch.tensor([0, 1, 4]).int())))
    query = torch.rand(5, 3, dtype=torch.float64)
    got = vrel.knn(query, vertices, 2, torch.tensor([0, 2, 5]), torch.tensor([0, 1, 4]))
    expected = vrel.knn(query, vertices, 2, torch.tensor([0, 2, 5]).int(),
                        torch.tensor([0, 1, 4]).int())
    assert all(torch.equal(a, b) for a, b in zip(got, expected))
    local = torch.eye(4, dtype=torch.float64).repeat(1, 3, 1, 1)
    parents = torch.tensor([-1, 0, 1])
    assert torch.equal(vrel.forward_kinematics(local, parents),
                       vrel.forward_kinematics(local, parents.int()))


@pytest.mark.parametrize("call,name", [
    (lambda v, f: vrel.gather_faces(v, f.long() + 2**31), "faces"),
    (lambda v, f: vrel.mesh_validate(v, f, torch.tensor([0, -2**31 - 1, 4])), "vertex_offsets"),
    (lambda v, f: vrel.forward_kinematics(torch.eye(4).repeat(1, 2, 1, 1),
                                          torch.tensor([-1, 2**40])), "parents"),
])
def test_indices_beyond_int32_are_refused_by_name(call, name):
    vertices, faces = tetrahedron()
    with pytest.raises(ValueError, match=rf"^{name} holds values outside the int32 range"):
        call(vertices, faces)


def test_strided_inputs_are_made_contiguous_and_keep_their_gradient():
    vertices, faces = tetrahedron()
    wide = torch.zeros(4, 6, dtype=torch.float64)
    wide[:, ::2] = vertices
    wide.requires_grad_()
    strided = wide[:, ::2]
    assert not strided.is_contiguous()
    normals, areas, _valid = vrel.face_geometry(strided, faces.t().contiguous().t())
    torch.testing.assert_close(areas, vrel.face_geometry(vertices, faces)[1])
    areas.sum().backward()
    expected = torch.zeros(4, 6, dtype=torch.float64)
    v = vertices.clone().requires_grad_()
    vrel.face_geometry(v, faces)[1].sum().backward()
    expected[:, ::2] = v.grad
    torch.testing.assert_close(wide.grad, expected)


def test_generator_key_and_counter_may_be_python_integers():
    vertices, faces = tetrahedron()
    words = torch.tensor([5, 1], dtype=torch.uint32)
    by_words = vrel.sample_surface(vertices, faces, 8, words, words)
    by_integers = vrel.sample_surface(vertices, faces, 8, 2**32 + 5, 2**32 + 5)
    assert all(torch.equal(a, b) for a, b in zip(by_words, by_integers))
    assert by_integers[3].tolist() == [6, 1]
    for bad in (-1, 2**64, 1.5, True):
        with pytest.raises(ValueError, match="rng_key must be an integer in"):
            vrel.sample_surface(vertices, faces, 8, bad, 0)
    with pytest.raises(ValueError, match="rng_counter must be an integer in"):
        vrel.sample_surface(vertices, faces, 8, 0, 2**64)


def test_conversions_trace_under_torch_compile_in_a_fresh_process():
    # A first use under torch.compile must not trace the operators' schema lookup.
    script = """
import torch, vrel
from conftest import tetrahedron
vertices, faces = tetrahedron()

@torch.compile(backend="eager", fullgraph=True)
def total(v, f):
    return vrel.face_geometry(v[:, :], f)[1].sum() + vrel.sample_surface(v, f, 3, 1, 2)[0].sum()

compiled = total(vertices, faces.long())
expected = vrel.face_geometry(vertices, faces)[1].sum() + vrel.sample_surface(
    vertices, faces, 3, 1, 2)[0].sum()
assert torch.equal(compiled, expected)
"""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    subprocess.run([sys.executable, "-c", script], check=True, env=environment,
                   cwd=pathlib.Path(__file__).parent)
