"""A loss curve drawn into an RGB array (log scale), with no plotting library."""
from __future__ import annotations

import math

import numpy as np


def _line(image: np.ndarray, x0: float, y0: float, x1: float, y1: float, colour) -> None:
    steps = int(max(abs(x1 - x0), abs(y1 - y0))) + 1
    for t in np.linspace(0.0, 1.0, steps + 1):
        x, y = int(round(x0 + t * (x1 - x0))), int(round(y0 + t * (y1 - y0)))
        image[max(y - 1, 0):y + 1, max(x - 1, 0):x + 1] = colour


# A 3x5 pixel font for the axis labels: each glyph is five rows of three bits.
_GLYPHS = {
    "0": (7, 5, 5, 5, 7), "1": (2, 6, 2, 2, 7), "2": (7, 1, 7, 4, 7), "3": (7, 1, 7, 1, 7),
    "4": (5, 5, 7, 1, 1), "5": (7, 4, 7, 1, 7), "6": (7, 4, 7, 5, 7), "7": (7, 1, 1, 1, 1),
    "8": (7, 5, 7, 5, 7), "9": (7, 5, 7, 1, 7), "e": (0, 7, 7, 4, 7), "-": (0, 0, 7, 0, 0),
    " ": (0, 0, 0, 0, 0), "s": (0, 7, 4, 1, 7), "t": (2, 7, 2, 2, 3), "p": (0, 7, 5, 7, 4),
}


def _text(image: np.ndarray, x: int, y: int, text: str, scale: int = 2) -> None:
    """Draws text in dark grey with its top left corner at (x, y)."""
    for n, char in enumerate(text):
        for row, bits in enumerate(_GLYPHS[char]):
            for column in range(3):
                if bits & (4 >> column):
                    x0 = x + (4 * n + column) * scale
                    y0 = y + row * scale
                    image[y0:y0 + scale, x0:x0 + scale] = 0.25


def loss_plot(losses: list[float], width: int = 480, height: int = 270) -> np.ndarray:
    """Axes, decade grid lines labelled 1e-k and the curve; x is the step, y is log10 of the
    loss."""
    image = np.ones((height, width, 3))
    left, right, top, bottom = 50, width - 15, 15, height - 30
    values = np.log10(np.maximum(np.asarray(losses, dtype=np.float64), 1e-12))
    lo, hi = math.floor(values.min()), math.ceil(values.max())
    hi = max(hi, lo + 1)

    def to_y(v: float) -> float:
        return bottom - (v - lo) / (hi - lo) * (bottom - top)

    for decade in range(lo, hi + 1):
        y = int(round(to_y(decade)))
        image[y, left:right] = (0.85, 0.85, 0.85)
        label = f"1e{decade}"
        _text(image, left - 6 - 8 * len(label), y - 5, label)
    image[top:bottom + 1, left] = 0.0
    image[bottom, left:right + 1] = 0.0
    n = len(values)
    _text(image, left, bottom + 8, "1")
    _text(image, right - 8 * len(str(n)) + 2, bottom + 8, str(n))
    _text(image, (left + right) // 2 - 16, bottom + 8, "step")
    xs = [left + (right - left) * i / max(n - 1, 1) for i in range(n)]
    for i in range(1, n):
        _line(image, xs[i - 1], to_y(values[i - 1]), xs[i], to_y(values[i]), (0.15, 0.35, 0.8))
    return image
