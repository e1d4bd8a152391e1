"""The rendering contexts `ka serve` lends its visitors' sessions."""
from __future__ import annotations

import threading
import time
from typing import List


class ContextPool:
    """Rendering contexts over the one resolved bundle, at most `limit` of them. A context belongs
    to one session while the session lives; a returned context waits for the next visitor instead
    of being opened again. When all `limit` exist, take() waits for one to come back (a leaving
    visitor's session still closing), so memory stays bounded however often visitors come and go.
    All `limit` contexts open at start: opening one is seconds of work on every core, which a
    visitor joining later would otherwise wait for and the visitors already talking would feel."""

    def __init__(self, bundle_dir: str, model: str, threads: int, limit: int):
        from ka_core import Context
        if limit < 1:
            raise ValueError("a context pool needs room for at least one context")
        self._make = lambda: Context(bundle_dir, model, threads)
        self._cv = threading.Condition()
        self._limit = limit
        self._idle: List = []
        try:  # a bad bundle fails at start, not per visitor
            for _ in range(limit):
                self._idle.append(self._make())
        except BaseException:
            self.close()
            raise
        self._made = limit
        self.size = self._idle[0].width, self._idle[0].height

    def take(self, timeout_s: float):
        """A context for a new session (a worker thread: this may open one, or wait)."""
        end = time.monotonic() + timeout_s
        with self._cv:
            while not self._idle and self._made >= self._limit:
                if not self._cv.wait(max(0.0, end - time.monotonic())) and time.monotonic() >= end:
                    raise TimeoutError(f"no rendering context came free within {timeout_s:.0f} s")
            if self._idle:
                return self._idle.pop()
            self._made += 1
        try:
            return self._make()
        except BaseException:
            with self._cv:
                self._made -= 1
                self._cv.notify()
            raise

    def give(self, ctx) -> None:
        with self._cv:
            self._idle.append(ctx)
            self._cv.notify()

    def close(self) -> None:
        with self._cv:
            while self._idle:
                self._idle.pop().close()
