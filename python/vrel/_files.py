"""Whole-file reads through the core's own file export.

``vrel_io_file_read_all`` opens only regular files (a device or a FIFO is refused at once, never
read or waited on), sizes the file and reads it into memory the core allocates; the bytes are lent
to PyTorch as a uint8 tensor without a copy and handed back with ``vrel_io_file_release``. A file
is therefore read once and held once.
"""
from __future__ import annotations

import contextlib
import ctypes
import os

import torch


class _Buffer(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("data", ctypes.c_void_p), ("capacity", ctypes.c_uint64),
                ("alignment", ctypes.c_uint64), ("device_type", ctypes.c_uint32),
                ("device_index", ctypes.c_int32), ("flags", ctypes.c_uint32),
                ("reserved_word", ctypes.c_uint32), ("reserved", ctypes.c_uint64 * 2)]


class _Diagnostic(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("message", ctypes.c_char_p), ("message_capacity", ctypes.c_uint64),
                ("message_required", ctypes.c_uint64), ("reserved", ctypes.c_uint64 * 4)]


_ABI_VERSION = 0x10000
_core = None


def _library():
    global _core
    if _core is None:
        # The copy beside this package, which the _torch extension has loaded already.
        core = ctypes.CDLL(os.path.join(os.path.dirname(__file__), "libvrel_core.so.1"))
        core.vrel_io_file_read_all.argtypes = [ctypes.c_char_p, ctypes.c_void_p,
                                               ctypes.POINTER(_Buffer), ctypes.POINTER(_Diagnostic)]
        core.vrel_io_file_read_all.restype = ctypes.c_int32
        core.vrel_io_file_release.argtypes = [ctypes.POINTER(_Buffer)]
        core.vrel_io_file_release.restype = ctypes.c_int32
        _core = core
    return _core


@contextlib.contextmanager
def file_bytes(path):
    """The bytes of the file at ``path`` as a uint8 tensor, valid inside the ``with`` block.

    Raises RuntimeError "vrel-status:<code>: <sentence>" when the core refuses the path (5 for a
    file that cannot be opened, sized or read, or that is not a regular file).
    """
    core = _library()
    text = ctypes.create_string_buffer(512)
    diag = _Diagnostic(ctypes.sizeof(_Diagnostic), _ABI_VERSION, ctypes.cast(text, ctypes.c_char_p),
                       len(text), 0)
    buffer = _Buffer()
    buffer.struct_size = ctypes.sizeof(_Buffer)
    buffer.abi_version = _ABI_VERSION
    status = core.vrel_io_file_read_all(os.fsencode(path), None, ctypes.byref(buffer),
                                        ctypes.byref(diag))
    if status != 0:
        raise RuntimeError(f"vrel-status:{status}: {text.value.decode()}")
    try:
        if buffer.capacity == 0:
            yield torch.empty(0, dtype=torch.uint8)
        else:
            memory = (ctypes.c_uint8 * buffer.capacity).from_address(buffer.data)
            yield torch.frombuffer(memory, dtype=torch.uint8)
    finally:
        core.vrel_io_file_release(ctypes.byref(buffer))
