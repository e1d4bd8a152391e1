"""The audio-to-motion family: keypoint rows from speech through a motion directory, walking the
avatar's own source poses."""
from __future__ import annotations

import ctypes
import os
from typing import Optional

from ._audio import AudioStream, StreamFamily
from ._lib import CFunc, encode

class _Motion(StreamFamily):
    prefix = "ka_motion"
    create = CFunc("ka_motion_create", ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p])


_motion = _Motion()


def _family() -> _Motion:
    return _motion


class Motion(AudioStream):
    """The audio-to-motion engine over one motion directory (``ka_motion_create`` /
    ``ka_motion_destroy``); same streaming calls as ``A2x``.

        with ka_core.Motion("bundles/avatar/motion", threads=2) as m:
            m.push(pcm); m.finish(); frames = m.drain()
    """

    _prefix = "ka_motion"
    _family = staticmethod(_family)

    def __init__(self, motion_dir: "os.PathLike[str] | str", threads: int = 0, ep: Optional[str] = None):
        f = _family()
        ptr = f.create(encode(motion_dir), int(threads), ep.encode() if ep is not None else None)
        if not ptr:
            raise f.fail("ka_motion_create failed")
        super().__init__(ptr)
