"""The contact sheet: every image of the demo on one page, each with a short caption."""
from __future__ import annotations

import numpy as np
import torch

from plot import text, text_width

TILE = 256
CAPTION = 22  # pixels below each tile
GAP = 12
PAPER = (1.0, 1.0, 1.0)


def as_rgb(image) -> np.ndarray:
    """[H,W] or [H,W,3] tensor or array in [0, 1] as a float [H,W,3] array."""
    array = image.detach().cpu().numpy() if isinstance(image, torch.Tensor) else np.asarray(image)
    array = np.clip(array.astype(np.float64), 0.0, 1.0)
    return np.repeat(array[..., None], 3, axis=2) if array.ndim == 2 else array


def zoom(image, height: int, width: int) -> np.ndarray:
    """Nearest-neighbour resampling to height x width: pixels stay visible as squares."""
    array = as_rgb(image)
    rows = (np.arange(height) * array.shape[0]) // height
    columns = (np.arange(width) * array.shape[1]) // width
    return array[rows][:, columns]


def contact_sheet(rows, title: str, notes: list[str]) -> np.ndarray:
    """`rows` of (caption, image, tiles wide) entries, laid out on a white page under `title`,
    with `notes` (one line each) at the bottom."""
    columns = max(sum(span for _, _, span in row) for row in rows)
    width = GAP + columns * (TILE + GAP)
    header, footer = 34, 14 * len(notes) + GAP
    height = header + len(rows) * (TILE + CAPTION + GAP) + footer
    page = np.empty((height, width, 3))
    page[:] = PAPER
    text(page, GAP, 10, title, scale=3)
    y = header
    for row in rows:
        x = GAP
        for caption, image, span in row:
            tile_width = span * TILE + (span - 1) * GAP
            page[y:y + TILE, x:x + tile_width] = zoom(image, TILE, tile_width)
            text(page, x + max(0, (tile_width - text_width(caption)) // 2), y + TILE + 6, caption)
            x += tile_width + GAP
        y += TILE + CAPTION + GAP
    for n, note in enumerate(notes):
        text(page, GAP, y + 14 * n, note)
    return page
