"""Forget sets for training pipelines.

A forget set marks the withdrawn (revoked) token entries of one tokenizer,
in entry order: bit i % 8 of byte i // 8, least significant bit first, is set
when entry i is revoked.  ``vl forget-set TOKENIZER FILE`` writes one, and
``_vl_native.generate_forget_set`` returns one as bytes.

This is the only module of the package that imports numpy.
"""

from __future__ import annotations

import os
from typing import Union

import numpy as np

Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]"]


def forget_mask(source: Source, length: int) -> np.ndarray:
    """The forget set as a numpy boolean array of `length` items, True where withdrawn.

    `source` is the forget set itself (bytes-like) or the path of a file that
    holds it.  Entries beyond the end of the set (merged after it was made)
    are not withdrawn.  A set that withdraws an item at or beyond `length`
    does not describe this data and raises ValueError rather than losing it.
    """
    if length < 0:
        raise ValueError(f"length must not be negative, got {length}")
    if isinstance(source, (bytes, bytearray, memoryview)):
        raw = bytes(source)
    else:
        with open(source, "rb") as f:
            raw = f.read()
    bits = np.unpackbits(np.frombuffer(raw, dtype=np.uint8), bitorder="little").astype(bool)
    if bits[length:].any():
        first = length + int(np.flatnonzero(bits[length:])[0])
        raise ValueError(f"the forget set withdraws item {first}, beyond the {length} items given")
    mask = np.zeros(length, dtype=bool)
    n = min(length, bits.size)
    mask[:n] = bits[:n]
    return mask
