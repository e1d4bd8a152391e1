"""What the streaming audio engines share: speech pushed in as it arrives, one keypoint row pair
per 40 ms video frame pulled out."""
from __future__ import annotations

import ctypes
from typing import Any, NamedTuple, Optional

import numpy as np

from ._lib import CFunc, Family, Handle, KaError, audio, check_call, pointer

KP = 63  # floats in a keypoint row: 21 keypoints of (x, y, z)
_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_float_p = ctypes.POINTER(ctypes.c_float)


class Frames(NamedTuple):
    """Frames pulled from an engine, one entry per 40 ms video frame."""
    index: np.ndarray                   # (n,) int32: the source frame shown
    base: np.ndarray                    # (n, 63) float32: that source frame's own keypoint row
    drive: np.ndarray                   # (n, 63) float32: the speaking keypoint row
    width: Optional[np.ndarray] = None  # (n,) float32 width values, where asked for


def empty_frames(n: int, width: bool = False) -> Frames:
    return Frames(np.empty(n, np.intc), np.empty((n, KP), np.float32), np.empty((n, KP), np.float32),
                  np.empty(n, np.float32) if width else None)


def concat(parts: "list[Frames]") -> Frames:
    if not parts:
        return empty_frames(0)
    return Frames(*(np.concatenate(col) if col[0] is not None else None for col in zip(*parts)))


_p = ctypes.c_void_p


class StreamFamily(Family):
    """The functions every streaming engine family has: {prefix}_destroy ... {prefix}_nt."""
    prefix = ""
    last_error = CFunc("{prefix}_last_error", ctypes.c_char_p, [])
    destroy = CFunc("{prefix}_destroy", None, [_p])
    push = CFunc("{prefix}_push", ctypes.c_int, [_p, _c_float_p, ctypes.c_int])
    finish = CFunc("{prefix}_finish", ctypes.c_int, [_p])
    avail = CFunc("{prefix}_avail", ctypes.c_int, [_p])
    pull = CFunc("{prefix}_pull", ctypes.c_int, [_p, _c_int_p, _c_float_p, _c_float_p, ctypes.c_int])
    total = CFunc("{prefix}_total", ctypes.c_int, [_p])
    reset = CFunc("{prefix}_reset", ctypes.c_int, [_p, ctypes.c_int, ctypes.c_int, ctypes.c_int])
    set_eager = CFunc("{prefix}_set_eager", None, [_p, ctypes.c_int])
    nt = CFunc("{prefix}_nt", ctypes.c_int, [_p])


class AudioStream(Handle):
    """An engine streaming one utterance at a time: push, avail, pull, finish, reset.

    Used by one thread at a time. Pulled frames do not depend on how the audio was split into
    pushes. A subclass names its family in ``_family()``."""

    _prefix = ""

    @classmethod
    def _family(cls) -> StreamFamily:
        raise NotImplementedError

    @classmethod
    def _destroy(cls, ptr: Any) -> None:
        cls._family().destroy(ptr)

    def _check(self, result: int, what: str) -> int:
        return check_call(self._family(), result, f"{self._prefix}_{what}")

    def push(self, samples: Any) -> None:
        """Appends samples: any 1-D numeric array-like, floats in [-1, 1] or integers as 16-bit PCM
        (converted once to float32, see ka_core._lib.audio)."""
        a = audio(samples)
        if a.size:
            self._check(self._family().push(self.ptr, pointer(a, ctypes.c_float), a.size), "push")

    def finish(self) -> None:
        """Marks the end of the audio: the frames held back for look-ahead become ready."""
        self._check(self._family().finish(self.ptr), "finish")

    def avail(self) -> int:
        """Frames ready to pull (may run the models)."""
        n = self._family().avail(self.ptr)
        return self._check(n, "avail") if n <= 0 else n

    def _pull(self, out: Frames, n: int) -> int:
        return self._family().pull(self.ptr, pointer(out.index, ctypes.c_int), pointer(out.base, ctypes.c_float),
                                   pointer(out.drive, ctypes.c_float), n)

    def pull(self, n: int, width: bool = False) -> Frames:
        """Up to n ready frames (width values too where the engine has them)."""
        if n < 0:
            raise ValueError(f"n must be >= 0, got {n}")
        out = empty_frames(n, width)
        got = self._check(self._pull(out, n), "pull") if n else 0
        return Frames(*(col[:got] if col is not None else None for col in out))

    def drain(self, width: bool = False) -> Frames:
        """Every frame ready now."""
        parts = []
        while (n := self.avail()) > 0:
            parts.append(self.pull(n, width))
        return concat(parts) if parts else empty_frames(0, width)

    def reset(self, start: int, direction: int = 1, wrap: bool = True) -> int:
        """Starts the next utterance: the audio and every buffer are cleared and the source walk
        restarts at `start`, backward when direction < 0, ping-pong when wrap is False. Returns
        the direction sign stored."""
        sign = self._family().reset(self.ptr, int(start), int(direction), int(bool(wrap)))
        if sign == 0:
            raise self._family().fail(f"{self._prefix}_reset failed")
        return int(sign)

    def set_eager(self, value: int) -> None:
        self._family().set_eager(self.ptr, int(value))

    @property
    def total(self) -> Optional[int]:
        """Frames of the utterance once finished, else None. After a failed finish (the engine
        answers -2 with its text) the failure is raised: no frame count is made up."""
        f = self._family()
        t = f.total(self.ptr)
        if t == -2:
            raise KaError(f.error_text() or "the utterance failed in finish")
        return None if t < 0 else int(t)

    @property
    def nt(self) -> int:
        """Rows of the source walk."""
        return int(self._family().nt(self.ptr))
