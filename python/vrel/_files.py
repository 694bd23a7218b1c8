"""PLY files read through the core's own file exports.

``vrel_io_ply_probe_file`` and ``vrel_io_ply_read_file`` open only regular files (a device or a
FIFO is refused at once, never read or waited on) and read the body straight from the file's
cached pages into the output tensors: no buffer holds a copy of the file.
"""
from __future__ import annotations

import ctypes
import os

import torch


class _Diagnostic(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("message", ctypes.c_char_p), ("message_capacity", ctypes.c_uint64),
                ("message_required", ctypes.c_uint64), ("reserved", ctypes.c_uint64 * 4)]


class _PlyInfo(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("format", ctypes.c_uint32), ("reserved_word", ctypes.c_uint32),
                ("vertex_count", ctypes.c_uint64), ("face_count", ctypes.c_uint64),
                ("header_size", ctypes.c_uint64)]


class _TensorView(ctypes.Structure):
    _fields_ = [("struct_size", ctypes.c_uint32), ("abi_version", ctypes.c_uint32),
                ("data", ctypes.c_void_p), ("byte_offset", ctypes.c_uint64),
                ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)),
                ("rank", ctypes.c_uint32), ("dtype", ctypes.c_uint32),
                ("device_type", ctypes.c_uint32), ("device_index", ctypes.c_int32),
                ("flags", ctypes.c_uint32), ("reserved_word", ctypes.c_uint32),
                ("reserved", ctypes.c_uint64 * 4)]


_ABI_VERSION = 0x10000
_DTYPES = {torch.float32: 1, torch.float64: 2, torch.int32: 3}
_DEVICE_CPU = 1
_TENSOR_OUTPUT = 2
_core = None


def _library():
    global _core
    if _core is None:
        # The copy beside this package, which the _torch extension has loaded already.
        core = ctypes.CDLL(os.path.join(os.path.dirname(__file__), "libvrel_core.so.1"))
        core.vrel_io_ply_probe_file.argtypes = [
            ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(_PlyInfo), ctypes.POINTER(_Diagnostic)]
        core.vrel_io_ply_probe_file.restype = ctypes.c_int32
        core.vrel_io_ply_read_file.argtypes = [
            ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(_PlyInfo), ctypes.POINTER(_TensorView),
            ctypes.POINTER(_TensorView), ctypes.POINTER(_Diagnostic)]
        core.vrel_io_ply_read_file.restype = ctypes.c_int32
        _core = core
    return _core


class _Call:
    """One export call's Diagnostic and the error it raises on failure."""

    def __init__(self):
        self.text = ctypes.create_string_buffer(512)
        self.diag = _Diagnostic(ctypes.sizeof(_Diagnostic), _ABI_VERSION,
                                ctypes.cast(self.text, ctypes.c_char_p), len(self.text), 0)

    def check(self, status):
        if status != 0:
            raise RuntimeError(f"vrel-status:{status}: {self.text.value.decode()}")


def _output_view(tensor, shape):
    """A view of a contiguous CPU output tensor (the shape array is kept on the view object)."""
    view = _TensorView()
    view.struct_size = ctypes.sizeof(_TensorView)
    view.abi_version = _ABI_VERSION
    view.data = tensor.data_ptr() or None
    view._shape = (ctypes.c_int64 * 2)(*shape)
    view._strides = (ctypes.c_int64 * 2)(shape[1], 1)
    view.shape = view._shape
    view.strides = view._strides
    view.rank = 2
    view.dtype = _DTYPES[tensor.dtype]
    view.device_type = _DEVICE_CPU
    view.flags = _TENSOR_OUTPUT
    return view


def ply_probe_file(path):
    """(format, vertex_count, face_count) of the PLY file at ``path``, read by the core."""
    call = _Call()
    info = _PlyInfo(ctypes.sizeof(_PlyInfo), _ABI_VERSION)
    call.check(_library().vrel_io_ply_probe_file(os.fsencode(path), None, ctypes.byref(info),
                                                  ctypes.byref(call.diag)))
    return info.format, info.vertex_count, info.face_count


def ply_read_file(path, dtype):
    """(vertices [V,3] of ``dtype``, faces [F,3] int32) of the PLY file at ``path``.

    The counts come from a probe; the read probes the file again and refuses counts that changed
    in between ("vertices must have one row per PLY vertex", or the faces' sentence).
    """
    _, vertex_count, face_count = ply_probe_file(path)
    vertices = torch.empty(vertex_count, 3, dtype=dtype)
    faces = torch.empty(face_count, 3, dtype=torch.int32)
    call = _Call()
    info = _PlyInfo()
    call.check(_library().vrel_io_ply_read_file(
        os.fsencode(path), None, ctypes.byref(info),
        ctypes.byref(_output_view(vertices, (vertex_count, 3))),
        ctypes.byref(_output_view(faces, (face_count, 3))), ctypes.byref(call.diag)))
    return vertices, faces
