"""A loss curve drawn into an RGB array (log scale), with no plotting library."""
from __future__ import annotations

import math

import numpy as np


def _line(image: np.ndarray, x0: float, y0: float, x1: float, y1: float, colour) -> None:
    steps = int(max(abs(x1 - x0), abs(y1 - y0))) + 1
    for t in np.linspace(0.0, 1.0, steps + 1):
        x, y = int(round(x0 + t * (x1 - x0))), int(round(y0 + t * (y1 - y0)))
        image[max(y - 1, 0):y + 1, max(x - 1, 0):x + 1] = colour


def loss_plot(losses: list[float], width: int = 480, height: int = 270) -> np.ndarray:
    """Axes, decade grid lines and the curve; x is the step, y is log10 of the loss."""
    image = np.ones((height, width, 3))
    left, right, top, bottom = 40, width - 15, 15, height - 30
    values = np.log10(np.maximum(np.asarray(losses, dtype=np.float64), 1e-12))
    lo, hi = math.floor(values.min()), math.ceil(values.max())
    hi = max(hi, lo + 1)

    def to_y(v: float) -> float:
        return bottom - (v - lo) / (hi - lo) * (bottom - top)

    for decade in range(lo, hi + 1):
        y = int(round(to_y(decade)))
        image[y, left:right] = (0.85, 0.85, 0.85)
    image[top:bottom + 1, left] = 0.0
    image[bottom, left:right + 1] = 0.0
    n = len(values)
    xs = [left + (right - left) * i / max(n - 1, 1) for i in range(n)]
    for i in range(1, n):
        _line(image, xs[i - 1], to_y(values[i - 1]), xs[i], to_y(values[i]), (0.15, 0.35, 0.8))
    return image
