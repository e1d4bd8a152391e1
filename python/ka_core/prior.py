"""The warp prior rows family: single frames of a bundle's warp-prior video."""
from __future__ import annotations

import ctypes
import os

import numpy as np

from ._lib import CFunc, Family, Handle, check_array, encode

_p = ctypes.c_void_p


class _Prior(Family):
    last_error = CFunc("ka_last_error", ctypes.c_char_p, [])  # the core family's error text
    open = CFunc("ka_prior_open", _p, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int])
    row = CFunc("ka_prior_row", ctypes.c_int, [_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t])
    row_bytes = CFunc("ka_prior_row_bytes", ctypes.c_uint64, [_p])
    backend = CFunc("ka_prior_backend", ctypes.c_char_p, [_p])
    close = CFunc("ka_prior_close", None, [_p])


_prior = _Prior()


def _family() -> _Prior:
    return _prior


class Prior(Handle):
    """Reads rows of a bundle's warp prior (``ka_prior_open`` / ``ka_prior_close``): each row is
    three planes of side x side IEEE half values, as uint16 bit patterns."""

    _destroy = staticmethod(lambda ptr: _prior.close(ptr))

    def __init__(self, bundle: "os.PathLike[str] | str", lookahead: int = 2, history: int = 11):
        f = _family()
        ptr = f.open(encode(bundle), int(lookahead), int(history))
        if not ptr:
            raise f.fail("ka_prior_open failed")
        super().__init__(ptr)
        self._row_bytes = int(f.row_bytes(ptr))
        self.side = int(round((self._row_bytes // 6) ** 0.5))

    @property
    def row_bytes(self) -> int:
        return self._row_bytes

    @property
    def backend(self) -> str:
        return (_family().backend(self.ptr) or b"").decode()

    def row(self, si: int) -> np.ndarray:
        """Frame si as a new (3, side, side) uint16 array (view it as float16 for the values)."""
        out = np.empty((3, self.side, self.side), dtype=np.uint16)
        return self.row_into(si, out)

    def row_into(self, si: int, out: np.ndarray) -> np.ndarray:
        """Frame si written into `out` ((3, side, side) uint16, C-contiguous); returns `out`."""
        check_array(out, np.uint16, [(3, self.side, self.side)], "out")
        if not _family().row(self.ptr, int(si), out.ctypes.data, out.nbytes):
            raise _family().fail("ka_prior_row failed")
        return out
