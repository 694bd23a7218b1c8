"""What loading _torch registers: schemas, dispatch keys, the probe, the module object."""
from __future__ import annotations

import os
import subprocess
import sys

import pytest
import torch

import vrel
from conftest import PENDING_FAMILIES, ROOT, core_has

KEYS = {"VREL_KEYS_CPU_CUDA": {"CPU", "CUDA"}, "VREL_KEYS_CPU": {"CPU"},
        "VREL_KEYS_COMPOSITE": {"CompositeExplicitAutograd"}}
ALL_KEYS = ("CPU", "CUDA", "CompositeExplicitAutograd")


def has_kernel(name, key):
    return torch._C._dispatch_has_kernel_for_dispatch_key(name, key)


def test_the_table_declares_99_schemas_with_the_documented_key_counts(table):
    assert len(table) == 99
    assert len({row[0] for row in table}) == 99
    cpu = sum("CPU" in KEYS[row[1]] for row in table)
    cuda = sum("CUDA" in KEYS[row[1]] for row in table)
    assert (cpu, cuda) == (98, 84)
    assert [row[0] for row in table if row[1] == "VREL_KEYS_COMPOSITE"] == ["workspace_sizes"]
    # The operators without a CUDA kernel; the animation _out operators have one.
    assert {row[0] for row in table if row[1] == "VREL_KEYS_CPU"} == {
        "face_geometry_out", "build_edge_topology", "ply_probe", "ply_read", "mesh_validate",
        "vertex_normals_out", "gather_faces_out", "transform_points_out", "perspective_divide_out",
        "knn_out", "closest_point_on_mesh_out", "sample_surface_out", "rasterize_out",
        "interpolate_out"}


def test_every_schema_is_registered_exactly_as_written(table):
    for name, _keys, _family, _exports, schema in table:
        registered = getattr(torch.ops.vrel, name).default._schema
        expected = torch._C.parse_schema("vrel::" + schema)
        assert registered == expected, name
        assert str(registered) == "vrel::" + schema, name


def test_the_foundation_probe_has_no_kernel_anywhere():
    schema = torch.ops.vrel_internal._foundation_probe.default._schema
    assert str(schema) == "vrel_internal::_foundation_probe() -> ()"
    for key in ALL_KEYS:
        assert not has_kernel("vrel_internal::_foundation_probe", key)
    with pytest.raises(NotImplementedError):
        torch.ops.vrel_internal._foundation_probe()


def test_dispatch_keys_follow_the_table_for_every_bound_operator(table, core):
    """Kernels exist exactly where the table says, once the core exports they call exist.

    The opaque renderer's operators other than coverage and colour integration have no adapter
    kernels in this build: their schemas are declared and their operators are reported by the
    dispatcher as missing a kernel.
    """
    pending = []
    for name, keys, family, exports, _schema in table:
        qualified = f"vrel::{name}"
        expected = KEYS[keys]
        bound = (family not in PENDING_FAMILIES and bool(exports) and
                 all(core_has(core, export) for export in exports))
        for key in ALL_KEYS:
            assert has_kernel(qualified, key) == (bound and key in expected), (name, key)
        if not bound:
            pending.append(name)
    assert all(name.startswith(("image_", "shading_", "opaque_")) for name in pending), pending


def test_cpu_only_operators_have_no_cuda_kernel_while_animation_out_operators_do(table):
    for name in ("rasterize_out", "ply_read", "face_geometry_out", "build_edge_topology"):
        assert has_kernel(f"vrel::{name}", "CPU")
        assert not has_kernel(f"vrel::{name}", "CUDA")
    for name in ("rodrigues_out", "skin_lbs_out", "_animation_workspace_size"):
        assert has_kernel(f"vrel::{name}", "CUDA")


def test_workspace_sizes_needs_no_tensor():
    assert not has_kernel("vrel::workspace_sizes", "CPU")
    sizes = torch.ops.vrel.workspace_sizes(8, 4, 16, 3, 5, 2, 16, 16, 2, True)
    assert len(sizes) == 6 and all(isinstance(s, int) and s >= 0 for s in sizes)
    assert sizes == torch.ops.vrel.workspace_sizes(8, 4, 16, 3, 5, 2, 16, 16, 2, True)
    # vertex normals: V*3 doubles for the backward sums; sample surface: F doubles.
    assert sizes[0] == 8 * 3 * 8 and sizes[4] == 4 * 8
    with pytest.raises(RuntimeError, match=r"^vrel-status:1: "):
        torch.ops.vrel.workspace_sizes(-1, 4, 16, 3, 5, 2, 16, 16, 2, True)


def test_the_module_object_carries_only_its_name_and_docstring():
    module = vrel._torch
    assert module.__name__ == "vrel._torch"
    assert module.__doc__ == "Private VREL PyTorch Stable-ABI registration loader."
    public = {name for name in dir(module)}
    assert public <= {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    assert module.__file__.endswith(".abi3.so")


def test_a_fresh_interpreter_loads_the_module_with_only_torch_and_vrel():
    code = ("import torch, vrel\n"
            "v = torch.rand(4, 3, dtype=torch.float64)\n"
            "f = torch.tensor([[0, 1, 2], [1, 2, 3]], dtype=torch.int32)\n"
            "print(vrel.gather_faces(v, f).shape)\n")
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "torch.Size([2, 3, 3])"


def test_the_module_targets_the_2_10_stable_abi():
    # Symbols newer than 2.10 would be compile errors; the module references only shim functions
    # that 2.10 exports, and loads the core from beside itself.
    path = vrel._torch.__file__
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    assert "libvrel_core.so.1" in dynamic and "$ORIGIN" in dynamic
    assert "libtorch_python" not in dynamic
