"""The README's camera example runs as written, in under 20 lines, and renders the blob."""
import pathlib
import re

import torch

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_renders_a_ply_file_through_a_camera(monkeypatch):
    blocks = [b for b in re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(),
                                    flags=re.S) if "render_mesh" in b]
    assert len(blocks) == 1 and len(blocks[0].strip().splitlines()) < 20
    monkeypatch.chdir(ROOT)
    scope: dict = {}
    exec(compile(blocks[0], "README.md", "exec"), scope)
    image, covered = scope["image"], scope["covered"]
    assert image.shape == (240, 320) and torch.isfinite(image).all()
    # The blob sits in the middle of the picture, lit on the side facing the light, dark behind.
    assert covered[120, 160] and not covered[:, :20].any() and not covered[:, -20:].any()
    assert 0.1 < covered.float().mean() < 0.6
    lit = image[covered]
    assert lit.min() >= 0.1 - 1e-6 and lit.max() > 0.9 and (lit < 0.2).any()
