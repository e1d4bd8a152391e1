"""Loading the shared library and the pieces every family's binding shares: the last-error
convention turned into exceptions, handles that free themselves, and argument checks done in
Python before anything reaches the library."""
from __future__ import annotations

import ctypes
import os
import subprocess
import weakref
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np


class KaError(RuntimeError):
    """A call into ka_core failed; the text is the family's last-error text."""


def _find_library() -> str:
    explicit = os.environ.get("KA_CORE_LIBRARY")
    if explicit:
        return explicit
    try:  # an installed prefix known to pkg-config
        libdir = subprocess.run(["pkg-config", "--variable=libdir", "ka_core"], capture_output=True,
                                text=True, check=True).stdout.strip()
        candidate = os.path.join(libdir, "libka_core.so.0")
        if os.path.exists(candidate):
            return candidate
    except (OSError, subprocess.CalledProcessError):
        pass
    return "libka_core.so.0"  # the dynamic loader's own search path


_LIB: Optional[ctypes.CDLL] = None
_ON_LOAD: List[Callable[[], None]] = []


def on_load(hook: Callable[[], None]) -> None:
    """Runs `hook` once the library is loaded (at once when it already is)."""
    _ON_LOAD.append(hook)
    if _LIB is not None:
        hook()


def lib() -> ctypes.CDLL:
    """The loaded library (KA_CORE_LIBRARY, else the pkg-config prefix, else the loader's path).
    Loading it runs the on_load hooks (ka_core.log sends the library's log to the logging module)."""
    global _LIB
    if _LIB is None:
        _LIB = ctypes.CDLL(_find_library())
        for hook in _ON_LOAD:
            hook()
    return _LIB


class CFunc:
    """One C entry point, declared on a Family class and bound to the library on first use:
    ``create = CFunc("ka_create", c_void_p, [c_char_p, ...])``. In a name, "{prefix}" stands for
    the family's ``prefix`` (families that share their functions' shapes)."""

    def __init__(self, name: str, restype: Any, argtypes: Sequence[Any]):
        self._name = name
        self._restype = restype
        self._argtypes = list(argtypes)
        self._bound: Dict[type, Callable[..., Any]] = {}

    def __get__(self, family: Optional["Family"], owner: type) -> Callable[..., Any]:
        if family is None:
            return self  # type: ignore[return-value]
        f = self._bound.get(owner)
        if f is None:
            f = getattr(lib(), self._name.format(prefix=getattr(owner, "prefix", "")))
            f.restype = self._restype
            f.argtypes = self._argtypes
            self._bound[owner] = f
        return f


class Family:
    """One C family: its functions, declared as CFunc class attributes, and its thread-local
    last-error text (the CFunc ``last_error``); ``fail`` raises the family's error text."""

    last_error: Callable[[], Optional[bytes]]

    def error_text(self) -> str:
        return (self.last_error() or b"").decode("utf-8", "replace")

    def fail(self, fallback: str) -> "KaError":
        return KaError(self.error_text() or fallback)


class Handle:
    """Owns one C handle; freed by close(), by leaving a ``with`` block, or by garbage collection.

    A handle lent to another (a context to the session that drives it) refuses its own calls while
    the borrower is open, and closing it closes the borrower first."""

    _destroy: Optional[Callable[[Any], None]] = None

    def __init__(self, ptr: int):
        self._ptr = ptr
        self._borrower: Optional["weakref.ref[Handle]"] = None

    def _live_borrower(self) -> Optional["Handle"]:
        b = self._borrower() if getattr(self, "_borrower", None) is not None else None
        return b if b is not None and not b.closed else None

    def lend(self, borrower: "Handle") -> None:
        """`borrower` uses this handle until it closes."""
        if self._live_borrower() is not None:
            raise ValueError(f"{type(self).__name__} is already in use by a {type(self._live_borrower()).__name__}")
        self._borrower = weakref.ref(borrower)

    @property
    def ptr(self) -> int:
        if not self._ptr:
            raise ValueError(f"{type(self).__name__} is closed")
        b = self._live_borrower()
        if b is not None:
            raise ValueError(f"{type(self).__name__} belongs to a {type(b).__name__} while that is open")
        return self._ptr

    @property
    def closed(self) -> bool:
        return not getattr(self, "_ptr", None)

    def close(self) -> None:
        b = self._live_borrower()
        if b is not None:
            b.close()
        ptr, self._ptr = getattr(self, "_ptr", None), None
        if ptr and type(self)._destroy is not None:
            type(self)._destroy(ptr)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


def encode(path: "os.PathLike[str] | str") -> bytes:
    return os.fsencode(path)


def _shape_matches(shape: Tuple[int, ...], pattern: Sequence[int]) -> bool:
    return len(shape) == len(pattern) and all(p == -1 or p == s for s, p in zip(shape, pattern))


def check_array(a: Any, dtype: Any, shapes: Sequence[Tuple[int, ...]], name: str) -> np.ndarray:
    """`a` as it will be handed to the library: refuses (never converts) another dtype, a shape
    matching none of `shapes` (-1 in a shape matches any length, e.g. (-1,) for audio samples), or
    memory that is not C-contiguous."""
    if not isinstance(a, np.ndarray):
        raise TypeError(f"{name}: expected a numpy array, got {type(a).__name__}")
    if a.dtype != np.dtype(dtype):
        raise TypeError(f"{name}: expected dtype {np.dtype(dtype)}, got {a.dtype}")
    if not any(_shape_matches(tuple(a.shape), s) for s in shapes):
        want = " or ".join(str(tuple(s)) for s in shapes)
        raise ValueError(f"{name}: expected shape {want}, got {tuple(a.shape)}")
    if not a.flags["C_CONTIGUOUS"]:
        raise ValueError(f"{name}: the array must be C-contiguous (use numpy.ascontiguousarray)")
    return a


def pointer(a: np.ndarray, ctype: Any) -> Any:
    return a.ctypes.data_as(ctypes.POINTER(ctype))


def _numeric_1d(samples: Any, name: str) -> np.ndarray:
    """`samples` as a 1-D numeric numpy array (no copy when it already is one); anything else —
    strings, objects, booleans, complex values, more or fewer dimensions — is refused."""
    try:
        a = np.asarray(samples)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name}: expected a 1-D array of numbers ({e})") from None
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{name}: expected numbers (integer or float), got dtype {a.dtype}")
    if a.ndim != 1:
        raise ValueError(f"{name}: expected shape (-1,), got {tuple(a.shape)}")
    return a


def _check_pcm_range(a: np.ndarray, name: str) -> None:
    if a.size and (a.min() < -32768 or a.max() > 32767):
        raise ValueError(f"{name}: integer samples are 16-bit PCM, in -32768..32767")


def audio(samples: Any, name: str = "samples") -> np.ndarray:
    """16 kHz mono samples as the float32 the engines take. Any 1-D numeric array-like is accepted:
    float values are taken as they are (in [-1, 1]), integer values as 16-bit PCM (sample / 32768).
    The one conversion is one copy into a new C-contiguous float32 array; float32 that already is
    C-contiguous is handed over without a copy. Non-numeric input or another shape is refused."""
    a = _numeric_1d(samples, name)
    if a.dtype.kind in "iu":
        _check_pcm_range(a, name)
        return np.multiply(a, np.float32(1.0 / 32768.0), dtype=np.float32)
    return np.ascontiguousarray(a, dtype=np.float32)


def pcm16(samples: Any, name: str = "samples") -> np.ndarray:
    """16 kHz mono samples as the int16 a session takes. Any 1-D numeric array-like is accepted:
    integer values as 16-bit PCM (-32768..32767), float values as round(sample * 32768) clipped to
    the int16 range (the inverse of `audio`); a NaN or infinite float is refused with its index. The one conversion is one copy into a new C-contiguous
    int16 array; int16 that already is C-contiguous is handed over without a copy."""
    a = _numeric_1d(samples, name)
    if a.dtype.kind in "iu":
        _check_pcm_range(a, name)
        return np.ascontiguousarray(a, dtype=np.int16)
    bad = np.flatnonzero(~np.isfinite(a))
    if bad.size:  # NaN would become an arbitrary sample, and an infinity full scale
        raise ValueError(f"{name}: sample {bad[0]} is not finite ({a[bad[0]]})")
    return np.clip(np.round(a.astype(np.float32) * np.float32(32768.0)), -32768, 32767).astype(np.int16)


def frames_of(samples: int) -> int:
    """Video frames (40 ms, 640 samples each, the last one padded) of a clip of `samples` samples."""
    return (samples + 639) // 640


def check_call(f: Family, result: int, entry: str) -> int:
    """`result` of a call that returns 0 (or less) with the family's text set when it fails."""
    if result <= 0 and f.error_text():
        raise KaError(f.error_text())
    if result < 0:
        raise KaError(f"{entry} failed ({result})")
    return result
