"""Loss curves and captions drawn into RGB arrays (log scale, a 3x5 pixel font), with no plotting
library."""
from __future__ import annotations

import math

import numpy as np

BLUE = (0.15, 0.35, 0.8)
ORANGE = (0.9, 0.45, 0.1)


def _line(image: np.ndarray, x0: float, y0: float, x1: float, y1: float, colour) -> None:
    steps = int(max(abs(x1 - x0), abs(y1 - y0))) + 1
    for t in np.linspace(0.0, 1.0, steps + 1):
        x, y = int(round(x0 + t * (x1 - x0))), int(round(y0 + t * (y1 - y0)))
        image[max(y - 1, 0):y + 1, max(x - 1, 0):x + 1] = colour


# A 3x5 pixel font: each glyph is five rows of three bits (4 is the left column). The lower-case
# e, s, t, p and x are the axis labels' ("1e-3", "step"); captions use the capitals.
_GLYPHS = {
    "0": (7, 5, 5, 5, 7), "1": (2, 6, 2, 2, 7), "2": (7, 1, 7, 4, 7), "3": (7, 1, 7, 1, 7),
    "4": (5, 5, 7, 1, 1), "5": (7, 4, 7, 1, 7), "6": (7, 4, 7, 5, 7), "7": (7, 1, 1, 1, 1),
    "8": (7, 5, 7, 5, 7), "9": (7, 5, 7, 1, 7), "e": (0, 7, 7, 4, 7), "-": (0, 0, 7, 0, 0),
    " ": (0, 0, 0, 0, 0), "s": (0, 7, 4, 1, 7), "t": (2, 7, 2, 2, 3), "p": (0, 7, 5, 7, 4),
    "x": (0, 5, 2, 5, 0), ".": (0, 0, 0, 0, 2), ",": (0, 0, 0, 2, 4), ":": (0, 2, 0, 2, 0),
    "(": (1, 2, 2, 2, 1), ")": (4, 2, 2, 2, 4), "/": (1, 1, 2, 4, 4), "=": (0, 7, 0, 7, 0),
    "+": (0, 2, 7, 2, 0), "%": (5, 1, 2, 4, 5),
    "A": (2, 5, 7, 5, 5), "B": (6, 5, 6, 5, 6), "C": (3, 4, 4, 4, 3), "D": (6, 5, 5, 5, 6),
    "E": (7, 4, 6, 4, 7), "F": (7, 4, 6, 4, 4), "G": (3, 4, 5, 5, 3), "H": (5, 5, 7, 5, 5),
    "I": (7, 2, 2, 2, 7), "J": (1, 1, 1, 5, 2), "K": (5, 5, 6, 5, 5), "L": (4, 4, 4, 4, 7),
    "M": (5, 7, 7, 5, 5), "N": (6, 5, 5, 5, 5), "O": (2, 5, 5, 5, 2), "P": (6, 5, 6, 4, 4),
    "Q": (2, 5, 5, 6, 3), "R": (6, 5, 6, 5, 5), "S": (3, 4, 2, 1, 6), "T": (7, 2, 2, 2, 2),
    "U": (5, 5, 5, 5, 7), "V": (5, 5, 5, 5, 2), "W": (5, 5, 7, 7, 5), "X": (5, 5, 2, 5, 5),
    "Y": (5, 5, 2, 2, 2), "Z": (7, 1, 2, 4, 7),
}


def text(image: np.ndarray, x: int, y: int, words: str, scale: int = 2, colour=0.25) -> None:
    """Draws `words` with its top left corner at (x, y), clipped to the image. Letters without a
    glyph of their own are drawn as capitals."""
    height, width = image.shape[:2]
    for n, char in enumerate(words):
        glyph = _GLYPHS.get(char) or _GLYPHS.get(char.upper(), _GLYPHS[" "])
        for row, bits in enumerate(glyph):
            for column in range(3):
                if bits & (4 >> column):
                    x0 = x + (4 * n + column) * scale
                    y0 = y + row * scale
                    if 0 <= x0 and x0 + scale <= width and 0 <= y0 and y0 + scale <= height:
                        image[y0:y0 + scale, x0:x0 + scale] = colour


def text_width(words: str, scale: int = 2) -> int:
    return 4 * scale * len(words) - scale


def loss_plot(curves, width: int = 480, height: int = 270, title: str = "") -> np.ndarray:
    """Axes, decade grid lines labelled 1e-k and the curves; x is the step, y is log10 of the
    loss. `curves` is one list of losses, or (label, losses, colour) triples drawn with a legend
    in the top right corner."""
    if curves and not isinstance(curves[0], tuple):
        curves = [("", curves, BLUE)]
    image = np.ones((height, width, 3))
    left, right, top, bottom = 50, width - 15, 15 + (16 if title else 0), height - 30
    series = [np.log10(np.maximum(np.asarray(v, dtype=np.float64), 1e-12)) for _, v, _ in curves]
    lo = math.floor(min(v.min() for v in series))
    hi = max(math.ceil(max(v.max() for v in series)), lo + 1)

    def to_y(v: float) -> float:
        return bottom - (v - lo) / (hi - lo) * (bottom - top)

    for decade in range(lo, hi + 1):
        y = int(round(to_y(decade)))
        image[y, left:right] = (0.85, 0.85, 0.85)
        label = f"1e{decade}"
        text(image, left - 6 - 8 * len(label), y - 5, label)
    image[top:bottom + 1, left] = 0.0
    image[bottom, left:right + 1] = 0.0
    n = max(len(v) for v in series)
    text(image, left, bottom + 8, "1")
    text(image, right - 8 * len(str(n)) + 2, bottom + 8, str(n))
    text(image, (left + right) // 2 - 16, bottom + 8, "step")
    if title:
        text(image, (width - text_width(title)) // 2, 6, title)
    for row, ((label, _, colour), values) in enumerate(zip(curves, series)):
        xs = [left + (right - left) * i / max(n - 1, 1) for i in range(len(values))]
        for i in range(1, len(values)):
            _line(image, xs[i - 1], to_y(values[i - 1]), xs[i], to_y(values[i]), colour)
        if label:
            y = top + 8 + 16 * row
            x = right - text_width(label) - 6
            _line(image, x - 26, y + 5, x - 8, y + 5, colour)
            text(image, x, y, label)
    return image
