"""The few utterance-session calls the server drives (ka_utt_*), on the package's Family/Handle."""
from __future__ import annotations

import ctypes
from typing import Optional, Tuple

import numpy as np

from .._lib import Family, Handle, check_array, encode, pointer

IDLE, SPEECH, RAMP = 0, 1, 2
KIND_NAMES = {IDLE: "idle", SPEECH: "speech", RAMP: "ramp"}


class _Opts(ctypes.Structure):
    _fields_ = [("motion_dir", ctypes.c_char_p), ("threads", ctypes.c_int), ("engine_opt", ctypes.c_char_p),
                ("steady_model", ctypes.c_char_p), ("hybrid", ctypes.c_int), ("silence_timeout_s", ctypes.c_double),
                ("end_ramp_frames", ctypes.c_int), ("interrupt_ramp_frames", ctypes.c_int)]


class FrameInfo(ctypes.Structure):
    _fields_ = [("seq", ctypes.c_uint64), ("kind", ctypes.c_int32), ("target", ctypes.c_int32),
                ("speech_frame", ctypes.c_int32)]


class Stats(ctypes.Structure):
    _fields_ = [("frames_pulled", ctypes.c_uint64), ("speech_frames_pulled", ctypes.c_uint64),
                ("utterances", ctypes.c_uint64), ("first_frame_latency_ms", ctypes.c_double),
                ("render_ms", ctypes.c_double), ("mode", ctypes.c_int32)]

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name, _ in self._fields_}


_utt: Optional[Family] = None


def _family() -> Family:
    global _utt
    if _utt is None:
        f = Family("ka_utt_last_error")
        p = ctypes.c_void_p
        f.create = f.fn("ka_utt_create", p, [p, ctypes.POINTER(_Opts)])
        f.destroy = f.fn("ka_utt_destroy", None, [p])
        f.ready = f.fn("ka_utt_ready", ctypes.c_int, [p])
        f.push = f.fn("ka_utt_push_audio", ctypes.c_int, [p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int])
        f.end = f.fn("ka_utt_end_utterance", ctypes.c_int, [p])
        f.interrupt = f.fn("ka_utt_interrupt", ctypes.c_int, [p])
        f.available = f.fn("ka_utt_frames_available", ctypes.c_int, [p])
        f.pull = f.fn("ka_utt_pull_frame", ctypes.c_int,
                      [p, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_size_t, ctypes.POINTER(FrameInfo)])
        f.stats = f.fn("ka_utt_get_stats", ctypes.c_int, [p, ctypes.POINTER(Stats)])
        _utt = f
    return _utt


class Session(Handle):
    """One utterance session on a context the caller keeps alive longer than the session."""

    def __init__(self, ctx_ptr: int, motion_dir: str, width: int, height: int, threads: int = 0):
        f = _family()
        Session._destroy = staticmethod(f.destroy)
        self._motion = encode(motion_dir)  # kept alive for the C side's copy
        opts = _Opts(motion_dir=self._motion, threads=int(threads))
        ptr = f.create(ctx_ptr, ctypes.byref(opts))
        if not ptr:
            raise f.fail("ka_utt_create failed")
        super().__init__(ptr)
        self.shape = (height, width, 3)

    def ready(self) -> int:
        """1 loaded, 0 warming up; a failure raises KaError with the session's reason."""
        r = int(_family().ready(self.ptr))
        if r == 255:
            raise _family().fail("the session failed to load")
        return r

    def push(self, pcm: np.ndarray) -> None:
        pcm = check_array(pcm, np.int16, [(-1,)], "pcm")
        if not _family().push(self.ptr, pointer(pcm, ctypes.c_int16), len(pcm)):
            raise _family().fail("ka_utt_push_audio failed")

    def end_utterance(self) -> None:
        _family().end(self.ptr)

    def interrupt(self) -> None:
        _family().interrupt(self.ptr)

    def available(self) -> int:
        return int(_family().available(self.ptr))

    def pull(self) -> Optional[Tuple[np.ndarray, FrameInfo]]:
        out = np.empty(self.shape, dtype=np.uint8)
        info = FrameInfo()
        if _family().pull(self.ptr, pointer(out, ctypes.c_ubyte), out.nbytes, ctypes.byref(info)) != 1:
            return None
        return out, info

    def stats(self) -> Stats:
        s = Stats()
        _family().stats(self.ptr, ctypes.byref(s))
        return s
