"""The tessera family: a bundle's teeth-borrow members, the teeth pass over a whole sequence, and
the borrow attached to an utterance session from the bundle alone.

    with ka_core.tessera.Members("bundles/avatar") as m:
        print(m.n_donors, m.stamp)                     # the cross-checked members
    ka_core.tessera.attach(session, "bundles/avatar")  # the borrow, bank decoded by the library

Failures raise KaError with the family's text (written into a buffer, not a last-error slot).
"""
from __future__ import annotations

import ctypes
import os
from typing import Any, List, Optional, Tuple

import numpy as np

from ._lib import CFunc, Handle, KaError, check_array, encode, pointer
from .utt import Session

_p = ctypes.c_void_p
_c_double_p = ctypes.POINTER(ctypes.c_double)
_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)
_ERR = 1024
STAMP_KEYS = ("canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad", "band_r0", "band_r1",
              "band_c0", "band_c1", "shift_margin")


class _Tessera:
    slot_count = CFunc("ka_tessera_slot_count", ctypes.c_int, [])
    slot_key = CFunc("ka_tessera_slot_key", ctypes.c_char_p, [ctypes.c_int])
    carriage_open = CFunc("ka_tessera_carriage_open", _p, [ctypes.c_char_p])
    carriage_close = CFunc("ka_tessera_carriage_close", None, [_p])
    carriage_complete = CFunc("ka_tessera_carriage_complete", ctypes.c_int, [_p])
    carriage_declared = CFunc("ka_tessera_carriage_declared", ctypes.c_int, [_p])
    carriage_path = CFunc("ka_tessera_carriage_path", ctypes.c_char_p, [_p, ctypes.c_char_p])
    carriage_missing_count = CFunc("ka_tessera_carriage_missing_count", ctypes.c_int, [_p])
    carriage_missing = CFunc("ka_tessera_carriage_missing", ctypes.c_char_p, [_p, ctypes.c_int])
    members_open = CFunc("ka_tessera_members_open", _p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int])
    members_close = CFunc("ka_tessera_members_close", None, [_p])
    n_donors = CFunc("ka_tessera_members_n_donors", ctypes.c_int, [_p])
    cent = CFunc("ka_tessera_members_cent", _c_double_p, [_p])
    c_canon = CFunc("ka_tessera_members_c_canon", _c_double_p, [_p])
    aperture = CFunc("ka_tessera_members_aperture", _c_double_p, [_p])
    stamp = CFunc("ka_tessera_members_stamp", _c_int_p, [_p])
    head_pt = CFunc("ka_tessera_members_head_pt", _c_ubyte_p, [_p])
    head_pt_len = CFunc("ka_tessera_members_head_pt_len", ctypes.c_int, [_p])
    head_json = CFunc("ka_tessera_members_head_json", ctypes.c_char_p, [_p])
    manifest_json = CFunc("ka_tessera_members_manifest_json", ctypes.c_char_p, [_p])
    bank_track_path = CFunc("ka_tessera_members_bank_track_path", ctypes.c_char_p, [_p])
    band_w = CFunc("ka_tessera_members_band_w", ctypes.c_int, [_p])
    band_h = CFunc("ka_tessera_members_band_h", ctypes.c_int, [_p])
    band_bytes = CFunc("ka_tessera_members_band_bytes", ctypes.c_int64, [_p])
    reorder = CFunc("ka_tessera_members_reorder", ctypes.c_int,
                    [_p, _c_ubyte_p, _c_ubyte_p, ctypes.c_char_p, ctypes.c_int])
    run_shift = CFunc("ka_tessera_run_shift", ctypes.c_int,
                      [_c_ubyte_p, ctypes.c_int, _c_double_p, _c_double_p, _c_double_p, _c_int_p, _c_ubyte_p,
                       ctypes.c_int, ctypes.c_char_p, _c_ubyte_p, _c_ubyte_p, _c_int_p, ctypes.c_int, _c_ubyte_p,
                       _c_int_p, ctypes.c_char_p, ctypes.c_int])
    attach_bundle = CFunc("ka_utt_tessera_attach_bundle", ctypes.c_int,
                          [_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int])
    geometry = CFunc("ka_utt_tessera_geometry", ctypes.c_int, [_p, ctypes.c_char_p, ctypes.c_int])


_t = _Tessera()


def _text(b: Optional[bytes]) -> str:
    return (b or b"").decode("utf-8", "replace")


def slot_keys() -> List[str]:
    """The member slots: "bank_track", "bank_sidecar", "head_weights", "head_config"."""
    return [_text(_t.slot_key(i)) for i in range(_t.slot_count())]


class Carriage(Handle):
    """Which teeth-borrow members a bundle carries (``ka_tessera_carriage_open`` / ``_close``)."""

    _destroy = staticmethod(lambda ptr: _t.carriage_close(ptr))

    def __init__(self, bundle: "os.PathLike[str] | str"):
        ptr = _t.carriage_open(encode(bundle))
        if not ptr:
            raise KaError("ka_tessera_carriage_open failed")
        super().__init__(ptr)

    @property
    def complete(self) -> bool:
        """All four members are present: the borrow is armed."""
        return bool(_t.carriage_complete(self.ptr))

    @property
    def declared(self) -> bool:
        return bool(_t.carriage_declared(self.ptr))

    def path(self, slot: str) -> str:
        return _text(_t.carriage_path(self.ptr, slot.encode()))

    @property
    def missing(self) -> List[str]:
        return [_text(_t.carriage_missing(self.ptr, i)) for i in range(_t.carriage_missing_count(self.ptr))]


class Members(Handle):
    """The four members read and cross-checked (``ka_tessera_members_open`` / ``_close``). Arrays
    are copies the caller owns."""

    _destroy = staticmethod(lambda ptr: _t.members_close(ptr))

    def __init__(self, bundle: "os.PathLike[str] | str"):
        err = ctypes.create_string_buffer(_ERR)
        ptr = _t.members_open(encode(bundle), err, _ERR)
        if not ptr:
            raise KaError(_text(err.value) or "ka_tessera_members_open failed")
        super().__init__(ptr)
        p = self.ptr
        self.n_donors = int(_t.n_donors(p))
        self.cent = np.ctypeslib.as_array(_t.cent(p), (self.n_donors, 2)).copy()
        self.c_canon = np.ctypeslib.as_array(_t.c_canon(p), (2,)).copy()
        self.aperture = np.ctypeslib.as_array(_t.aperture(p), (self.n_donors,)).copy()
        self.stamp = np.ctypeslib.as_array(_t.stamp(p), (12,)).astype(np.intc)
        self.head_pt = ctypes.string_at(_t.head_pt(p), _t.head_pt_len(p))
        self.head_json = _text(_t.head_json(p))
        self.manifest_json = _text(_t.manifest_json(p))
        self.bank_track_path = _text(_t.bank_track_path(p))
        self.band_w, self.band_h = int(_t.band_w(p)), int(_t.band_h(p))

    def reorder(self, track: Any) -> np.ndarray:
        """The decoded bank track ((n_donors, band_h, band_w, 3) uint8, frames in track order) as a new
        array in donor order."""
        shape = (self.n_donors, self.band_h, self.band_w, 3)
        check_array(track, np.uint8, [shape], "track")
        out = np.empty(shape, np.uint8)
        err = ctypes.create_string_buffer(_ERR)
        if _t.reorder(self.ptr, pointer(track, ctypes.c_ubyte), pointer(out, ctypes.c_ubyte), err, _ERR):
            raise KaError(_text(err.value))
        return out

    def run(self, bank: np.ndarray, frames: np.ndarray, masks: np.ndarray,
            shifts: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
        """The teeth pass over a sequence with these members: `bank` the donor-ordered bank,
        `frames` (count, canvas_h, canvas_w, 3) uint8, `masks` (count, canvas_h, canvas_w) uint8,
        `shifts` (count, 2) intc (dy, dx; None derives each from its mask). Returns the windows
        ((count, window_h, window_w, 3) uint8, zero where skipped) and the skipped flags ((count,))."""
        s = dict(zip(STAMP_KEYS, (int(v) for v in self.stamp)))
        m = s["shift_margin"]
        check_array(bank, np.uint8, [(self.n_donors, s["band_r1"] - s["band_r0"] + 2 * m,
                                      s["band_c1"] - s["band_c0"] + 2 * m, 3)], "bank")
        count = frames.shape[0] if isinstance(frames, np.ndarray) and frames.ndim == 4 else -1
        check_array(frames, np.uint8, [(count, s["canvas_h"], s["canvas_w"], 3)], "frames")
        check_array(masks, np.uint8, [(count, s["canvas_h"], s["canvas_w"])], "masks")
        if shifts is not None:
            check_array(shifts, np.intc, [(count, 2)], "shifts")
        windows = np.zeros((count, s["window_h"], s["window_w"], 3), np.uint8)
        skipped = np.zeros(count, np.intc)
        err = ctypes.create_string_buffer(_ERR)
        head = np.frombuffer(self.head_pt, np.uint8)
        if _t.run_shift(pointer(bank, ctypes.c_ubyte), self.n_donors, pointer(self.cent, ctypes.c_double),
                        pointer(self.c_canon, ctypes.c_double), pointer(self.aperture, ctypes.c_double),
                        pointer(self.stamp, ctypes.c_int), pointer(head, ctypes.c_ubyte), head.size,
                        self.head_json.encode(), pointer(frames, ctypes.c_ubyte), pointer(masks, ctypes.c_ubyte),
                        pointer(shifts, ctypes.c_int) if shifts is not None else None, count,
                        pointer(windows, ctypes.c_ubyte), pointer(skipped, ctypes.c_int), err, _ERR):
            raise KaError(_text(err.value))
        return windows, skipped


def attach(session: Session, bundle: "os.PathLike[str] | str") -> str:
    """Attaches the teeth borrow of the bundle's members to `session`
    (``ka_utt_tessera_attach_bundle``): from then on every speech frame passes through it. Returns
    the borrow's geometry stamp text."""
    if not isinstance(session, Session):
        raise TypeError(f"session: expected a ka_core.Session, got {type(session).__name__}")
    err = ctypes.create_string_buffer(_ERR)
    if _t.attach_bundle(session.ptr, encode(bundle), err, _ERR):
        raise KaError(_text(err.value))
    geo = ctypes.create_string_buffer(_ERR)
    _t.geometry(session.ptr, geo, _ERR)
    return _text(geo.value)
