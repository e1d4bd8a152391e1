"""The FCA family: expression deltas for a whole audio clip at once."""
from __future__ import annotations

import ctypes
import os
from typing import Any

import numpy as np

from ._audio import KP
from ._lib import CFunc, Family, Handle, audio, check_call, encode, frames_of, pointer

_c_float_p = ctypes.POINTER(ctypes.c_float)
_p = ctypes.c_void_p


class _Fca(Family):
    last_error = CFunc("ka_fca_last_error", ctypes.c_char_p, [])
    create = CFunc("ka_fca_create", _p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int])
    destroy = CFunc("ka_fca_destroy", None, [_p])
    deltas = CFunc("ka_fca_deltas", ctypes.c_int, [_p, _c_float_p, ctypes.c_int, _c_float_p, ctypes.c_int])


_fca = _Fca()


def _family() -> _Fca:
    return _fca


class Fca(Handle):
    """An FCA engine (``ka_fca_create`` / ``ka_fca_destroy``): the audio encoder at `w2v_path` and
    the FCA model at `fca_path`. Used by one thread at a time."""

    _destroy = staticmethod(lambda ptr: _fca.destroy(ptr))

    def __init__(self, w2v_path: "os.PathLike[str] | str", fca_path: "os.PathLike[str] | str", threads: int = 0):
        f = _family()
        ptr = f.create(encode(w2v_path), encode(fca_path), int(threads))
        if not ptr:
            raise f.fail("ka_fca_create failed")
        super().__init__(ptr)

    def deltas(self, samples: Any) -> np.ndarray:
        """(frames, 63) float32 expression deltas of a clip (any 1-D numeric array-like: floats in [-1, 1], or 16-bit PCM integers)."""
        a = audio(samples)
        n = frames_of(a.size)
        out = np.empty((n, KP), np.float32)
        got = _family().deltas(self.ptr, pointer(a, ctypes.c_float), a.size, pointer(out, ctypes.c_float), n)
        check_call(_family(), got if n else 1, "ka_fca_deltas")
        return out
