"""The audio-to-expression family: a bundle's expression stream over the shared audio encoder
($W2V_ONNX names the legacy encoder)."""
from __future__ import annotations

import ctypes
import os
from typing import Any, Optional, Tuple

import numpy as np

from ._audio import KP, AudioStream, Frames, StreamFamily
from ._lib import CFunc, audio, check_call, encode, frames_of, pointer

_c_float_p = ctypes.POINTER(ctypes.c_float)
_p = ctypes.c_void_p


class _A2x(StreamFamily):
    prefix = "ka_a2x"
    create = CFunc("ka_a2x_create", _p, [ctypes.c_char_p, ctypes.c_int])
    pull_wn = CFunc("ka_a2x_pull_wn", ctypes.c_int,
                    [_p, ctypes.POINTER(ctypes.c_int), _c_float_p, _c_float_p, _c_float_p, ctypes.c_int])
    width = CFunc("ka_a2x_width", ctypes.c_int, [_p])
    deltas = CFunc("ka_a2x_deltas", ctypes.c_int, [_p, _c_float_p, ctypes.c_int, _c_float_p, ctypes.c_int])
    deltas_wn = CFunc("ka_a2x_deltas_wn", ctypes.c_int,
                      [_p, _c_float_p, ctypes.c_int, _c_float_p, _c_float_p, ctypes.c_int])
    preload_w2v = CFunc("ka_a2x_preload_w2v", ctypes.c_int, [ctypes.c_char_p])


_a2x = _A2x()


def _family() -> _A2x:
    return _a2x


def preload_w2v(path: "Optional[os.PathLike[str] | str]" = None) -> None:
    """Loads the process-wide legacy audio encoder now (None: $W2V_ONNX) instead of on first use."""
    f = _family()
    check_call(f, f.preload_w2v(encode(path) if path is not None else None), "ka_a2x_preload_w2v")


class A2x(AudioStream):
    """The expression stream of one bundle (``ka_a2x_create`` / ``ka_a2x_destroy``).

        with ka_core.A2x("bundles/avatar") as s:
            s.push(pcm)                      # floats in [-1, 1] or 16-bit PCM integers, 16 kHz mono
            s.finish()
            frames = s.drain()               # Frames(index, base, drive): (n,), (n, 63), (n, 63)
    """

    _prefix = "ka_a2x"
    _family = staticmethod(_family)

    def __init__(self, bundle: "os.PathLike[str] | str", threads: int = 0):
        f = _family()
        ptr = f.create(encode(bundle), int(threads))
        if not ptr:
            raise f.fail("ka_a2x_create failed")
        super().__init__(ptr)

    @property
    def has_width(self) -> bool:
        """Whether the encoder has the width output."""
        return bool(_family().width(self.ptr))

    def _pull(self, out: Frames, n: int) -> int:
        if out.width is None:
            return super()._pull(out, n)
        return _family().pull_wn(self.ptr, pointer(out.index, ctypes.c_int), pointer(out.base, ctypes.c_float),
                                 pointer(out.drive, ctypes.c_float), pointer(out.width, ctypes.c_float), n)

    def deltas(self, samples: Any) -> np.ndarray:
        """Whole-clip expression deltas, (frames, 63) float32; the stream's state is untouched."""
        return self._deltas(samples, False)[0]

    def deltas_wn(self, samples: Any) -> Tuple[np.ndarray, np.ndarray]:
        """Whole-clip deltas and the width value per frame ((frames,) float32)."""
        d, w = self._deltas(samples, True)
        assert w is not None
        return d, w

    def _deltas(self, samples: Any, width: bool) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        a = audio(samples)
        n = frames_of(a.size)
        out = np.empty((n, KP), np.float32)
        w = np.empty(n, np.float32) if width else None
        f = _family()
        if width:
            got = f.deltas_wn(self.ptr, pointer(a, ctypes.c_float), a.size, pointer(out, ctypes.c_float),
                              pointer(w, ctypes.c_float), n)
        else:
            got = f.deltas(self.ptr, pointer(a, ctypes.c_float), a.size, pointer(out, ctypes.c_float), n)
        check_call(f, got if n else 1, "ka_a2x_deltas")
        return out, w
