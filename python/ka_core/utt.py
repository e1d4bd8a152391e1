"""The utterance session family: the real-time driver. Speech is pushed as it arrives; finished
full-size RGB frames are pulled, one per 40 ms of audio, idle frames when nobody speaks."""
from __future__ import annotations

import ctypes
import os
import time
from typing import Any, Iterator, NamedTuple, Optional, Tuple

import numpy as np

from ._lib import CFunc, Family, Handle, check_array, encode, pcm16, pointer
from .core import Context

IDLE, SPEECH, RAMP = 0, 1, 2  # FrameInfo.kind


class FrameInfo(NamedTuple):
    seq: int           # delivered frames count from 0
    kind: int          # IDLE, SPEECH or RAMP
    target: int        # source frame shown
    speech_frame: int  # frame number within the utterance; -1 for idle frames


class Stats(NamedTuple):
    frames_pulled: int
    speech_frames_pulled: int
    utterances: int                # utterances whose first speech frame was composed
    first_frame_latency_ms: float  # the latest such utterance: first push to first frame
    render_ms: float               # smoothed render time per frame
    mode: int                      # 0 idle, 1 utterance started, 2 speaking, 3 ramping


class _Opts(ctypes.Structure):
    _fields_ = [("motion_dir", ctypes.c_char_p), ("threads", ctypes.c_int), ("engine_opt", ctypes.c_char_p),
                ("steady_model", ctypes.c_char_p), ("hybrid", ctypes.c_int), ("silence_timeout_s", ctypes.c_double),
                ("end_ramp_frames", ctypes.c_int), ("interrupt_ramp_frames", ctypes.c_int)]


class _Info(ctypes.Structure):
    _fields_ = [("seq", ctypes.c_uint64), ("kind", ctypes.c_int32), ("target", ctypes.c_int32),
                ("speech_frame", ctypes.c_int32)]


class _Stats(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in Stats._fields[:3]] + \
               [(name, ctypes.c_double) for name in Stats._fields[3:5]] + [("mode", ctypes.c_int32)]


_p = ctypes.c_void_p


class _Utt(Family):
    last_error = CFunc("ka_utt_last_error", ctypes.c_char_p, [])
    create = CFunc("ka_utt_create", _p, [_p, ctypes.POINTER(_Opts)])
    destroy = CFunc("ka_utt_destroy", None, [_p])
    ready = CFunc("ka_utt_ready", ctypes.c_int, [_p])
    push = CFunc("ka_utt_push_audio", ctypes.c_int, [_p, ctypes.POINTER(ctypes.c_int16), ctypes.c_int])
    end_utterance = CFunc("ka_utt_end_utterance", ctypes.c_int, [_p])
    interrupt = CFunc("ka_utt_interrupt", ctypes.c_int, [_p])
    frames_available = CFunc("ka_utt_frames_available", ctypes.c_int, [_p])
    wait_ready = CFunc("ka_utt_wait_ready", ctypes.c_int, [_p, ctypes.c_int])
    wait_frame = CFunc("ka_utt_wait_frame", ctypes.c_int, [_p, ctypes.c_int])
    pull_frame = CFunc("ka_utt_pull_frame", ctypes.c_int,
                       [_p, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_size_t, ctypes.POINTER(_Info)])
    get_stats = CFunc("ka_utt_get_stats", ctypes.c_int, [_p, ctypes.POINTER(_Stats)])
    render_status = CFunc("ka_utt_render_status", ctypes.c_int,
                          [_p, ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)])


_utt = _Utt()
_SLICE_MS = 200  # a wait is cut into slices of this many ms, so that Ctrl-C reaches the thread


def _seconds(value: float, name: str) -> float:
    v = float(value)
    if not v >= 0.0 or v == float("inf"):
        raise ValueError(f"{name}: expected a finite number of seconds >= 0, got {value!r}")
    return v


def _family() -> _Utt:
    return _utt


class Session(Handle):
    """An utterance session driving `ctx` (``ka_utt_create`` / ``ka_utt_destroy``) with the audio
    models of `model_dir` (a motion directory, or a bundle carrying the expression stream). While
    the session is open the context belongs to it: the context's own calls raise ValueError, and
    closing the context closes the session first. Zero / None options take the library's defaults.

    Calls may come from different threads (one pushing, one pulling); close() must not overlap
    another call.

        with ka_core.Context("bundles/avatar") as ctx, ka_core.Session(ctx, "bundles/avatar/motion") as s:
            s.wait_ready()
            s.push(pcm)                      # int16, or float32 in [-1, 1]
            s.end_utterance()
            frame = s.pull_frame()           # None, or ((H, W, 3) uint8, FrameInfo)
            for rgb, info in s.frames(timeout=1.0):  # as they come, until none for 1 s
                ...
    """

    _destroy = staticmethod(lambda ptr: _utt.destroy(ptr))

    def __init__(self, ctx: Context, model_dir: "os.PathLike[str] | str", threads: int = 0,
                 steady_model: Optional[str] = None, hybrid: int = 0, silence_timeout_s: float = 0.0,
                 end_ramp_frames: int = 0, interrupt_ramp_frames: int = 0, engine_opt: Optional[str] = None):
        f = _family()
        if not isinstance(ctx, Context):
            raise TypeError(f"ctx: expected a ka_core.Context, got {type(ctx).__name__}")
        self.shape = (ctx.height, ctx.width, 3)
        opts = _Opts(encode(model_dir), int(threads), engine_opt.encode() if engine_opt is not None else None,
                     steady_model.encode() if steady_model is not None else None, int(hybrid),
                     float(silence_timeout_s), int(end_ramp_frames), int(interrupt_ramp_frames))
        ptr = f.create(ctx.ptr, ctypes.byref(opts))
        if not ptr:
            raise f.fail("ka_utt_create failed")
        super().__init__(ptr)
        self._ctx = ctx  # the session must not outlive its context
        ctx.lend(self)

    def _ok(self, result: int, entry: str) -> None:
        if result != 1:
            raise _family().fail(entry + " failed")

    def ready(self) -> bool:
        """True once the engine is loaded; False while warming up; KaError after a failure."""
        r = _family().ready(self.ptr)
        if r == 255:
            raise _family().fail("the session failed")
        return r == 1

    def wait_ready(self, timeout: float = 60.0) -> None:
        """Waits until the engine is loaded (KaError on a failure, TimeoutError after `timeout` s)."""
        end = time.monotonic() + _seconds(timeout, "timeout")
        while True:  # in slices, so that the waiting thread stays interruptible
            left = end - time.monotonic()
            r = _family().wait_ready(self.ptr, max(0, min(_SLICE_MS, int(left * 1000))))
            if r == 255:
                raise _family().fail("the session failed")
            if r == 1:
                return
            if left <= 0:
                raise TimeoutError(f"the session was not ready within {timeout} s")

    def wait_frame(self, timeout: Optional[float] = None) -> bool:
        """Waits until a frame can be pulled: True when one waits, False when none came within
        `timeout` s (None: no limit); KaError when the session failed."""
        end = None if timeout is None else time.monotonic() + _seconds(timeout, "timeout")
        while True:
            left = _SLICE_MS if end is None else max(0, min(_SLICE_MS, int((end - time.monotonic()) * 1000)))
            r = _family().wait_frame(self.ptr, left)
            if r < 0:
                raise _family().fail("the session failed")
            if r == 1:
                return True
            if end is not None and time.monotonic() >= end:
                return False

    def frames(self, timeout: Optional[float] = None) -> Iterator[Tuple[np.ndarray, FrameInfo]]:
        """The frames as they come, each a new (H, W, 3) uint8 array and its FrameInfo; ends when
        none came within `timeout` s (None: never)."""
        while self.wait_frame(timeout):
            got = self.pull_frame()
            if got is not None:  # None: an interrupt dropped it in between
                yield got

    def push(self, samples: Any) -> None:
        """Appends speech: any 1-D numeric array-like, integers as 16-bit PCM, floats in [-1, 1]
        (converted once to int16 as round(x * 32768),
        clipped). An empty array only marks the speaker as still talking."""
        a = pcm16(samples)
        self._ok(_family().push(self.ptr, pointer(a, ctypes.c_int16), a.size), "ka_utt_push_audio")

    def end_utterance(self) -> None:
        """The utterance ends once the audio pushed so far has been spoken."""
        self._ok(_family().end_utterance(self.ptr), "ka_utt_end_utterance")

    def interrupt(self) -> None:
        """Drops the audio not yet used and every frame not yet pulled."""
        self._ok(_family().interrupt(self.ptr), "ka_utt_interrupt")

    def frames_available(self) -> int:
        return int(_family().frames_available(self.ptr))

    def pull_frame(self) -> Optional[Tuple[np.ndarray, FrameInfo]]:
        """The oldest waiting frame as a new (H, W, 3) uint8 array and its FrameInfo; None when no
        frame waits."""
        out = np.empty(self.shape, np.uint8)
        info = self.pull_frame_into(out)
        return None if info is None else (out, info)

    def pull_frame_into(self, out: np.ndarray) -> Optional[FrameInfo]:
        """The oldest waiting frame written into `out` ((H, W, 3) uint8, C-contiguous); None when no
        frame waits (`out` untouched)."""
        check_array(out, np.uint8, [self.shape], "out")
        info = _Info()
        f = _family()
        if f.pull_frame(self.ptr, pointer(out, ctypes.c_ubyte), out.nbytes, ctypes.byref(info)) != 1:
            if f.error_text():
                raise f.fail("ka_utt_pull_frame failed")
            return None
        return FrameInfo(int(info.seq), int(info.kind), int(info.target), int(info.speech_frame))

    def stats(self) -> Stats:
        s = _Stats()
        self._ok(_family().get_stats(self.ptr, ctypes.byref(s)), "ka_utt_get_stats")
        return Stats(*(getattr(s, name) for name in Stats._fields))

    def render_status(self) -> Optional[Tuple[str, str]]:
        """(stage, message) of the recorded render failure, or None."""
        msg = ctypes.create_string_buffer(1024)
        stage = ctypes.c_char_p()
        if _family().render_status(self.ptr, msg, len(msg), ctypes.byref(stage)) != -1:
            return None
        return (stage.value or b"").decode(), msg.value.decode("utf-8", "replace")
