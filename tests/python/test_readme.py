"""The README's PyTorch example runs as written and its gradient is the one autograd promises."""
import pathlib
import re

import torch

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_example_runs_and_backpropagates(capsys):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    assert blocks, "the README has no Python example"
    scope: dict = {}
    exec(compile(blocks[0], "README.md", "exec"), scope)
    vertices, normals = scope["vertices"], scope["normals"]
    assert vertices.grad is not None and torch.isfinite(vertices.grad).all()
    # The same loss through a plain PyTorch reference of area-weighted vertex normals.
    v = vertices.detach().clone().requires_grad_(True)
    f = scope["faces"].long()
    n = torch.cross(v[f[:, 1]] - v[f[:, 0]], v[f[:, 2]] - v[f[:, 0]], dim=1) / 2
    total = torch.zeros_like(v).index_add(0, f.reshape(-1), n.repeat_interleave(3, dim=0))
    reference = total / total.norm(dim=1, keepdim=True)
    torch.testing.assert_close(normals.detach(), reference.detach())
    (reference[:, 2] - 1.0).pow(2).sum().backward()
    torch.testing.assert_close(vertices.grad, v.grad)


def test_readme_chamfer_fit_converges_and_saves_the_mesh(tmp_path, monkeypatch, capsys):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    fit = next(block for block in blocks if "chamfer_distance" in block)
    assert len(fit.strip().splitlines()) < 25
    monkeypatch.chdir(tmp_path)
    scope: dict = {}
    exec(compile(fit, "README.md", "exec"), scope)
    import vrel
    target, start, faces = scope["target"], scope["vertices"], scope["faces"]
    fitted, read_faces = vrel.io.ply_read(tmp_path / "fitted.ply")
    assert torch.equal(fitted, scope["mesh"].detach()) and torch.equal(read_faces, faces)
    before = float(vrel.loss.chamfer_distance(start, target))
    after = float(vrel.loss.chamfer_distance(fitted, target))
    assert after * 5 < before
    assert f"{after:.4f}" in capsys.readouterr().out
