"""Python binding of ka_core's C interface (ctypes; numpy arrays in and out).

    import ka_core
    with ka_core.Context("bundles/avatar.imx", "b1") as ctx:
        frame = ctx.render_drive_rgba(0)          # (H, W, 4) uint8
    with ka_core.Prior("bundles/avatar") as p:
        row = p.row(0).view("float16")            # (3, S, S)
    with ka_core.Motion("bundles/avatar/motion") as m:
        m.push(pcm)                               # 16 kHz mono: floats in [-1, 1], or 16-bit PCM integers
        m.finish()
        frames = m.drain()                        # Frames(index (n,), base (n, 63), drive (n, 63))
    with ka_core.Stream("bundles/avatar", "models/w2v.onnx") as s:
        video = s.frames(pcm)                     # (frames, H, W, 3) uint8
    with ka_core.Context("bundles/avatar") as ctx, ka_core.Session(ctx, "bundles/avatar/motion") as u:
        u.wait_ready()
        u.push(pcm16)                             # int16 (or float32), any chunk size
        got = u.pull_frame()                      # None, or ((H, W, 3) uint8, FrameInfo)

The library's log (its diagnostics, ONNX Runtime's and FFmpeg's lines) goes to the logging module's
"ka_core" logger; ka_core.set_log(callable) hands the lines to a function instead (module log). The
library is loaded on first use, and from then on its log goes there.

The library is found through $KA_CORE_LIBRARY, else the prefix pkg-config knows, else the dynamic
loader's path. Failures raise KaError carrying the family's last-error text; bad arguments (a wrong
shape, audio that is not numbers, an output array of another dtype or layout) raise TypeError or
ValueError before the library is called. Audio is any 1-D numeric array-like, converted once.

Each C family is one module: core (context, bundle resolution), prior (warp prior rows), a2x and
motion (the streaming audio engines, on _audio.AudioStream), fca (whole-clip deltas), stream (the
offline stream), utt (the utterance session), tessera (teeth-borrow members, pass and attach), log
(the library's log). A new family adds one module built on _lib.Family and _lib.Handle; its
functions are CFunc class attributes.
"""
from ._lib import KaError
from . import log
from .log import set_log, set_log_level
from .core import Context, host_kp_rows, resolve_bundle, resolve_member
from .prior import Prior
from ._audio import Frames
from .a2x import A2x, preload_w2v
from .fca import Fca
from .motion import Motion
from .stream import Stream
from .utt import IDLE, RAMP, SPEECH, FrameInfo, Session, Stats
from . import tessera

__all__ = ["KaError", "log", "set_log", "set_log_level", "Context", "Prior", "host_kp_rows", "resolve_bundle",
           "resolve_member", "Frames", "A2x", "preload_w2v", "Fca", "Motion", "Stream", "Session", "FrameInfo", "Stats",
           "IDLE", "SPEECH", "RAMP", "tessera"]
