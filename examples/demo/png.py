"""A small PNG writer: 8-bit RGB or grey images from NumPy arrays, using only zlib."""
from __future__ import annotations

import pathlib
import struct
import zlib

import numpy as np


def _chunk(kind: bytes, payload: bytes) -> bytes:
    crc = zlib.crc32(kind + payload) & 0xFFFFFFFF
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", crc)


def write_png(path: str | pathlib.Path, image: np.ndarray) -> None:
    """Writes an [H,W] grey or [H,W,3] RGB image. Floats are taken in [0, 1]; uint8 as is."""
    array = np.asarray(image)
    if array.dtype != np.uint8:
        array = (np.clip(array, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)
    if array.ndim == 2:
        colour_type, channels = 0, 1
    elif array.ndim == 3 and array.shape[2] == 3:
        colour_type, channels = 2, 3
    else:
        raise ValueError(f"expected an [H,W] or [H,W,3] image, got shape {array.shape}")
    height, width = array.shape[:2]
    rows = array.reshape(height, width * channels)
    # Filter type 0 (none) in front of every row.
    raw = np.concatenate([np.zeros((height, 1), np.uint8), rows], axis=1).tobytes()
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    data = (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6))
            + _chunk(b"IEND", b""))
    pathlib.Path(path).write_bytes(data)
