"""The offline stream family: a whole audio clip in, every video frame of the avatar speaking it
out, in order."""
from __future__ import annotations

import ctypes
import os
from typing import Any, Callable, List

import numpy as np

from ._lib import CFunc, Family, Handle, KaError, audio, encode, frames_of, pointer

_c_float_p = ctypes.POINTER(ctypes.c_float)
_FRAME_CB = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int,
                             ctypes.c_int)
_p = ctypes.c_void_p


class _Stream(Family):
    last_error = CFunc("ka_stream_last_error", ctypes.c_char_p, [])
    create = CFunc("ka_stream_create", _p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_float])
    destroy = CFunc("ka_stream_destroy", None, [_p])
    run = CFunc("ka_stream_run", ctypes.c_int, [_p, _c_float_p, ctypes.c_int, _FRAME_CB, ctypes.c_void_p])
    width = CFunc("ka_stream_width", ctypes.c_int, [_p])
    height = CFunc("ka_stream_height", ctypes.c_int, [_p])


_stream = _Stream()


def _family() -> _Stream:
    return _stream


class Stream(Handle):
    """An offline stream over one bundle (``ka_stream_create`` / ``ka_stream_destroy``): the
    bundle's director "model_render.onnx" and "fca_stream.onnx", the audio encoder at `w2v_path`.
    The first `skip` frames of every run are computed but not delivered; `scale` multiplies the
    expression deltas. Used by one thread at a time.

        with ka_core.Stream("bundles/avatar", "models/w2v.onnx") as s:
            video = s.frames(pcm)            # (frames, H, W, 3) uint8
    """

    _destroy = staticmethod(lambda ptr: _stream.destroy(ptr))

    def __init__(self, bundle: "os.PathLike[str] | str", w2v_path: "os.PathLike[str] | str", threads: int = 0,
                 skip: int = 0, scale: float = 1.0):
        f = _family()
        ptr = f.create(encode(bundle), encode(w2v_path), int(threads), int(skip), float(scale))
        if not ptr:
            raise f.fail("ka_stream_create failed")
        super().__init__(ptr)

    width = property(lambda self: int(_family().width(self.ptr)), doc="frame width")
    height = property(lambda self: int(_family().height(self.ptr)), doc="frame height")

    def run(self, samples: Any, on_frame: Callable[[int, np.ndarray], None]) -> int:
        """Renders every frame of the clip (any 1-D numeric array-like: floats in [-1, 1], or 16-bit PCM integers) and calls
        on_frame(number, rgb) for each in order, rgb a (H, W, 3) uint8 copy. Returns the frames
        delivered. A failed render raises KaError after the frames before it were delivered; an
        exception from on_frame stops further calls and is raised when the run ends."""
        a = audio(samples)
        raised: List[BaseException] = []

        def deliver(_user, n, rgb, w, h):
            if raised:
                return
            try:
                on_frame(n, np.ctypeslib.as_array(rgb, shape=(h, w, 3)).copy())
            except BaseException as e:  # ctypes would only print it: carry it out of the run
                raised.append(e)

        callback = _FRAME_CB(deliver)
        f = _family()
        delivered = f.run(self.ptr, pointer(a, ctypes.c_float), a.size, callback, None)
        if raised:
            raise raised[0]
        if delivered < 0 or f.error_text():
            raise f.fail(f"ka_stream_run failed ({delivered})")
        return int(delivered)

    def frames(self, samples: Any) -> np.ndarray:
        """Every delivered frame of the clip as one (frames, H, W, 3) uint8 array."""
        a = audio(samples)
        out = np.empty((frames_of(a.size), self.height, self.width, 3), np.uint8)

        def keep(n: int, rgb: np.ndarray) -> None:
            if n >= len(out):
                raise KaError(f"ka_stream_run delivered frame {n} of a {len(out)}-frame clip")
            out[n] = rgb

        return out[:self.run(a, keep)]
