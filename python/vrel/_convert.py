"""Argument conversions at the Python boundary, before a call reaches an operator.

The operators take int32 faces, indices and offsets and dense (contiguous) tensors. PyTorch makes
int64 index tensors by default and slicing makes strided views, so the wrappers convert:

- face, index and offset arguments of another integer dtype (int64, int16, int8, uint8), or
  Python sequences, become int32 after a check that every value fits (a value beyond int32 would
  otherwise wrap around silently; under torch.compile the values cannot be inspected while
  tracing, and the check is left out);
- every tensor argument becomes contiguous (a copy only when it is not);
- generator keys and counters may be Python integers in [0, 2**64).
"""
import torch

_INT32 = torch.iinfo(torch.int32)
_CONVERTIBLE = (torch.int64, torch.int16, torch.int8, torch.uint8)


def indices(value, name: str):
    """A face, index or offset argument as a contiguous int32 tensor (other dtypes pass through
    unchanged, for the operator to refuse)."""
    if value is None:
        return None
    if not isinstance(value, torch.Tensor):
        value = torch.as_tensor(value)
    if value.dtype in _CONVERTIBLE:
        if value.numel() and not torch.compiler.is_compiling():
            low, high = torch.aminmax(value)
            if int(low) < _INT32.min or int(high) > _INT32.max:
                raise ValueError(f"{name} holds values outside the int32 range "
                                 f"[{_INT32.min}, {_INT32.max}]: vrel indices are int32")
        value = value.to(torch.int32)
    return value.contiguous()


def dense(value):
    """A tensor argument made contiguous; anything else unchanged."""
    return value.contiguous() if isinstance(value, torch.Tensor) else value


def rng_words(value, name: str, device=None):
    """A generator key or counter as [2] uint32 words, low word first. A Python integer in
    [0, 2**64) is split into its words; a tensor passes through (made contiguous)."""
    if isinstance(value, torch.Tensor):
        return value.contiguous()
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << 64:
        raise ValueError(f"{name} must be an integer in [0, 2**64) or a [2] uint32 tensor")
    return torch.tensor([value & 0xFFFFFFFF, value >> 32], dtype=torch.uint32, device=device)



def for_argument(name: str):
    """The conversion of the operator argument ``name``: a function (value, device) -> value,
    where device is that of the call's first tensor (for keys and counters given as integers)."""
    if name == "faces" or name.endswith("_offsets") or name in ("face_index", "parents"):
        return lambda value, device: indices(value, name)
    if name in ("rng_key", "rng_counter"):
        return lambda value, device: rng_words(value, name, device)
    return lambda value, device: dense(value)


class Operators:
    """``torch.ops.vrel`` with every argument converted by name (:func:`for_argument`) on the
    way in: the object the family modules call their operators through.

    :meth:`bind_all` resolves every registered operator once, eagerly: ``torch.compile`` traces
    the calls but cannot trace the schema lookup of a first use."""

    def bind_all(self) -> None:
        for qualified in torch._C._dispatch_get_all_op_names():
            namespace, _, name = qualified.partition("::")
            if namespace == "vrel" and "." not in name:
                getattr(self, name)

    def __getattr__(self, name: str):
        if name.startswith("__"):
            raise AttributeError(name)
        operator = getattr(torch.ops.vrel, name)
        arguments = [argument.name for argument in operator.default._schema.arguments]
        converters = [for_argument(argument) for argument in arguments]
        by_name = dict(zip(arguments, converters))
        seeded = "rng_key" in arguments or "rng_counter" in arguments

        def call(*args, **kwargs):
            device = (next((a.device for a in args if isinstance(a, torch.Tensor)), None)
                      if seeded else None)
            args = [convert(value, device) for convert, value in zip(converters, args)]
            kwargs = {key: by_name[key](value, device) if key in by_name else value
                      for key, value in kwargs.items()}
            return operator(*args, **kwargs)

        call.__name__ = call.__qualname__ = name
        setattr(self, name, call)  # resolved once per operator
        return call
