"""The core family: the rendering context over one bundle, and bundle resolution."""
from __future__ import annotations

import ctypes
import os
from typing import Optional, Tuple

import numpy as np

from ._lib import CFunc, Family, Handle, check_array, encode, pointer

_c_float_p = ctypes.POINTER(ctypes.c_float)
_c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)

_p = ctypes.c_void_p


class _Core(Family):
    last_error = CFunc("ka_last_error", ctypes.c_char_p, [])
    create = CFunc("ka_create", _p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p])
    destroy = CFunc("ka_destroy", None, [_p])
    host_kp_rows = CFunc("ka_host_kp_rows", ctypes.c_int, [])
    nt = CFunc("ka_nt", ctypes.c_int, [_p])
    width = CFunc("ka_width", ctypes.c_int, [_p])
    height = CFunc("ka_height", ctypes.c_int, [_p])
    crop = CFunc("ka_crop", ctypes.c_int, [_p])
    drive_frames = CFunc("ka_drive_frames", ctypes.c_int, [_p])
    render_kp_crop = CFunc("ka_render_kp_crop", _c_float_p, [_p, ctypes.c_int, _c_float_p, _c_float_p])
    render_drive_crop = CFunc("ka_render_drive_crop", _c_float_p, [_p, ctypes.c_int])
    paste_crop = CFunc("ka_paste_crop", ctypes.c_int, [_p, ctypes.c_int, _c_float_p, _c_ubyte_p, ctypes.c_size_t])
    paste_last = CFunc("ka_paste_last", _c_ubyte_p, [_p, ctypes.c_int])
    render_kp_rgba = CFunc("ka_render_kp_rgba", ctypes.c_int,
                           [_p, ctypes.c_int, _c_float_p, _c_float_p, _c_ubyte_p, ctypes.c_size_t])
    render_drive_rgba = CFunc("ka_render_drive_rgba", ctypes.c_int, [_p, ctypes.c_int, _c_ubyte_p, ctypes.c_size_t])
    target_frame = CFunc("ka_target_frame", _c_ubyte_p, [_p, ctypes.c_int])
    resolve_handle = CFunc("ka_bundle_resolve_handle", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t])
    resolve_member = CFunc("ka_bundle_resolve_member", ctypes.c_int,
                           [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t])


_core = _Core()  # bound on first use, so importing the package does not load the library


def _family() -> _Core:
    return _core


def _check(ok: int, entry: str) -> None:
    if not ok:
        raise _family().fail(entry + " failed")


def host_kp_rows() -> int:
    """Rows of a keypoint set: 21 keypoints of (x, y, z)."""
    return int(_family().host_kp_rows())


_KP_SHAPES = ((21, 3), (63,))


class Context(Handle):
    """A rendering context over one bundle (``ka_create`` / ``ka_destroy``).

    Used by one thread at a time. Every array returned is a copy the caller owns."""

    _destroy = staticmethod(lambda ptr: _core.destroy(ptr))

    def __init__(self, bundle: "os.PathLike[str] | str", model_key: str = "b1", threads: int = 0,
                 ep: Optional[str] = None):
        f = _family()
        ptr = f.create(encode(bundle), model_key.encode(), int(threads), ep.encode() if ep is not None else None)
        if not ptr:
            raise f.fail("ka_create failed")
        super().__init__(ptr)

    nt = property(lambda self: int(_family().nt(self.ptr)), doc="source frames")
    width = property(lambda self: int(_family().width(self.ptr)), doc="full frame width")
    height = property(lambda self: int(_family().height(self.ptr)), doc="full frame height")
    crop = property(lambda self: int(_family().crop(self.ptr)), doc="face crop side")
    drive_frames = property(lambda self: int(_family().drive_frames(self.ptr)), doc="driving table rows")

    def _crop_out(self, p) -> np.ndarray:
        _check(bool(p), "render")
        c = self.crop
        return np.ctypeslib.as_array(p, shape=(3, c, c)).copy()

    def _frame(self, channels: int) -> np.ndarray:
        return np.empty((self.height, self.width, channels), dtype=np.uint8)

    def render_kp_crop(self, si: int, kp_source: np.ndarray, kp_driving: np.ndarray) -> np.ndarray:
        """The (3, crop, crop) float32 face crop of source frame si from two keypoint sets
        ((21, 3) or (63,) float32)."""
        ks = check_array(kp_source, np.float32, _KP_SHAPES, "kp_source")
        kd = check_array(kp_driving, np.float32, _KP_SHAPES, "kp_driving")
        return self._crop_out(_family().render_kp_crop(self.ptr, int(si), pointer(ks, ctypes.c_float),
                                                       pointer(kd, ctypes.c_float)))

    def render_drive_crop(self, i: int) -> np.ndarray:
        """The face crop of row i of the bundle's driving table."""
        return self._crop_out(_family().render_drive_crop(self.ptr, int(i)))

    def paste_crop(self, si: int, crop: np.ndarray) -> np.ndarray:
        """Background frame si with `crop` ((3, crop, crop) float32) pasted: (H, W, 3) uint8."""
        c = self.crop
        crop = check_array(crop, np.float32, [(3, c, c)], "crop")
        out = self._frame(3)
        _check(_family().paste_crop(self.ptr, int(si), pointer(crop, ctypes.c_float), pointer(out, ctypes.c_ubyte),
                                    out.nbytes), "ka_paste_crop")
        return out

    def paste_last(self, si: int) -> np.ndarray:
        """The last rendered crop pasted onto background frame si: (H, W, 3) uint8."""
        p = _family().paste_last(self.ptr, int(si))
        _check(bool(p), "ka_paste_last")
        return np.ctypeslib.as_array(p, shape=(self.height, self.width, 3)).copy()

    def render_kp_rgba(self, si: int, kp_source: np.ndarray, kp_driving: np.ndarray) -> np.ndarray:
        """Rendered and pasted in one call: (H, W, 4) uint8, alpha 255."""
        ks = check_array(kp_source, np.float32, _KP_SHAPES, "kp_source")
        kd = check_array(kp_driving, np.float32, _KP_SHAPES, "kp_driving")
        out = self._frame(4)
        _check(_family().render_kp_rgba(self.ptr, int(si), pointer(ks, ctypes.c_float), pointer(kd, ctypes.c_float),
                                        pointer(out, ctypes.c_ubyte), out.nbytes), "ka_render_kp_rgba")
        return out

    def render_drive_rgba(self, i: int) -> np.ndarray:
        """Row i of the driving table rendered and pasted: (H, W, 4) uint8."""
        out = self._frame(4)
        _check(_family().render_drive_rgba(self.ptr, int(i), pointer(out, ctypes.c_ubyte), out.nbytes),
               "ka_render_drive_rgba")
        return out

    def target_frame(self, si: int) -> np.ndarray:
        """Background frame si: (H, W, 3) uint8."""
        p = _family().target_frame(self.ptr, int(si))
        _check(bool(p), "ka_target_frame")
        return np.ctypeslib.as_array(p, shape=(self.height, self.width, 3)).copy()


def resolve_bundle(path: "os.PathLike[str] | str") -> str:
    """The directory a bundle path is read from (a container is unpacked once)."""
    buf = ctypes.create_string_buffer(4096)
    if _family().resolve_handle(encode(path), buf, len(buf)) != 1:
        raise _family().fail("ka_bundle_resolve_handle failed")
    return os.fsdecode(buf.value)


def resolve_member(path: "os.PathLike[str] | str", member: str) -> Tuple[str, bool]:
    """(path of the member, whether it can be opened); the member is asked for by its legacy name."""
    buf = ctypes.create_string_buffer(4096)
    r = _family().resolve_member(encode(path), member.encode(), buf, len(buf))
    if r < 0:
        raise _family().fail("ka_bundle_resolve_member failed")
    return os.fsdecode(buf.value), r == 1
