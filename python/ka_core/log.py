"""The library's log in Python.

Importing ka_core sends every line of the library's log (its own diagnostics, ONNX Runtime's and
FFmpeg's) to the standard ``logging`` module, logger ``"ka_core"``, at the mapped level
(``ERROR`` -> ``logging.ERROR``, ``WARNING`` -> ``logging.WARNING``, ``INFO`` -> ``logging.INFO``).
Configure that logger as usual, or hand the lines to a function of your own::

    ka_core.set_log(lambda level, line: print(level, line))   # level: ka_core.log.ERROR/WARNING/INFO
    ka_core.set_log(None)                                      # back to the logging module
    ka_core.set_log_level(ka_core.log.WARNING)                 # progress lines dropped

The function is called from whichever thread logs, the library's own threads included; an exception
it raises is dropped (it cannot travel through the library). At interpreter exit the library's own
standard-error writer is restored, so a thread that logs late never calls into a finished Python.
"""
from __future__ import annotations

import atexit
import ctypes
import logging
from typing import Callable, Optional

from ._lib import lib, on_load

ERROR, WARNING, INFO = 0, 1, 2
_LOGGING_LEVELS = {ERROR: logging.ERROR, WARNING: logging.WARNING, INFO: logging.INFO}

logger = logging.getLogger("ka_core")

_LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
_installed: Optional[object] = None  # the ctypes callback the library holds; kept alive here


def _to_logging(level: int, line: str) -> None:
    logger.log(_LOGGING_LEVELS.get(level, logging.INFO), "%s", line)


def _set(c_callback: Optional[object]) -> None:
    global _installed
    f = lib().ka_log_set
    f.restype = None
    f.argtypes = [_LOG_FN, ctypes.c_void_p]
    f(c_callback if c_callback is not None else _LOG_FN(), None)
    _installed = c_callback  # the previous callback is no longer called once ka_log_set returned


def set_log(sink: Optional[Callable[[int, str], None]]) -> None:
    """Every line of the library's log goes to ``sink(level, line)`` (``line`` without newline);
    ``None`` restores the default, the logging module's ``"ka_core"`` logger."""
    if sink is not None and not callable(sink):
        raise TypeError(f"set_log: expected a callable or None, got {type(sink).__name__}")
    target = sink if sink is not None else _to_logging

    def deliver(_user: Optional[int], level: int, line: bytes) -> None:
        try:
            target(level, line.decode("utf-8", "replace"))
        except Exception:  # noqa: BLE001 - nothing may cross back into the library
            pass

    _set(_LOG_FN(deliver))


def set_log_level(level: int) -> None:
    """Lines up to ``level`` (ERROR, WARNING or INFO, the default) are delivered."""
    if isinstance(level, bool) or not isinstance(level, int) or level not in _LOGGING_LEVELS:
        raise ValueError(f"set_log_level: expected ka_core.log.ERROR, WARNING or INFO, got {level!r}")
    f = lib().ka_log_set_level
    f.restype = ctypes.c_int
    f.argtypes = [ctypes.c_int]
    f(level)


def _restore_stderr() -> None:
    _set(None)


def install_default() -> None:
    """The import-time default: the logging module, and standard error again at exit."""
    set_log(None)
    atexit.register(_restore_stderr)


on_load(install_default)
