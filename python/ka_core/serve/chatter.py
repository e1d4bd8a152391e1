"""The native libraries' own messages (model loading, graph rewrites, decoder choices) are many
lines per session; `ka serve` logs one line per visitor event instead and keeps the libraries'
latest lines for when something fails."""
from __future__ import annotations

import collections
import os
import re
import sys
import threading
from typing import List


# Lines that still reach the log: a process about to die of a native failure must say why.
_SEVERE = re.compile(r"\berror\b|\bfatal\b|\babort(ed)?\b|terminate called|\[E:", re.IGNORECASE)


class LibraryLog:
    """Redirects the process's standard error (file descriptor 2, where the native code writes) into
    a pipe read by one thread that keeps the last `keep` lines and passes on the severe ones. Python's
    own messages still reach the original standard error. close() restores it and joins the thread."""

    def __init__(self, keep: int = 200):
        self._lines = collections.deque(maxlen=keep)
        self._lock = threading.Lock()
        sys.stderr.flush()
        self._saved = os.dup(2)
        self._python_stderr = sys.stderr
        sys.stderr = open(os.dup(self._saved), "w", buffering=1, encoding="utf-8", errors="replace")
        r, w = os.pipe()
        os.dup2(w, 2)
        os.close(w)
        forward = os.dup(self._saved)  # the reader's own, closed by the reader
        self._reader = threading.Thread(target=self._read, args=(r, forward), name="library-log", daemon=True)
        self._reader.start()
        from ka_core.log import set_log  # the engine's own log comes here directly, not through Python's logging
        set_log(self._engine_line)

    def _engine_line(self, level: int, line: str) -> None:
        from ka_core.log import ERROR
        with self._lock:
            self._lines.append(line)
        if level == ERROR or _SEVERE.search(line):
            print(f"ka serve: native: {line}", file=sys.stderr, flush=True)

    def _read(self, fd: int, forward: int) -> None:
        with open(fd, "rb") as pipe, open(forward, "wb", buffering=0) as out:
            for raw in pipe:
                line = raw.decode("utf-8", "replace").rstrip()
                with self._lock:
                    self._lines.append(line)
                if _SEVERE.search(line):
                    out.write(b"ka serve: native: " + line.encode() + b"\n")

    def tail(self, n: int = 5) -> List[str]:
        with self._lock:
            return list(self._lines)[-n:]

    def close(self) -> None:
        from ka_core.log import set_log
        set_log(None)
        os.dup2(self._saved, 2)  # the pipe's last writer goes: the reader sees its end
        os.close(self._saved)
        self._reader.join(timeout=5.0)  # a child process still holding the pipe must not hang us
        sys.stderr.close()
        sys.stderr = self._python_stderr
