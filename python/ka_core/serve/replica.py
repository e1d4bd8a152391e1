"""What a `ka serve` replica behind a load balancer needs: a readiness answer (`GET /ready`), an
HAProxy agent-check port that reports the free sessions as a weight, and a drain on SIGTERM.

The agent answers each connection with one line and closes it: "up N%" (N: the share of sessions
free, at least 1 while one is), "up 0%" when every session is taken, "drain" once draining,
"down" while the process stops. Draining refuses new visitors at once; a visitor in the middle of
an utterance keeps its session until the utterance has played out, then its socket is closed
(1001) so its page reconnects through the balancer to another replica. The process stops when the
last visitor has gone or after --drain-seconds, whichever comes first.
"""
from __future__ import annotations

import asyncio
import os
import socket
import time
from typing import Optional

from aiohttp import web

MAX_DRAIN_SECONDS = 3600.0
DRAIN_POLL_S = 0.1
DRAIN_REFUSAL = "This server is shutting down: reload the page to reach another one."


def utterance_open(visitor) -> bool:
    """Whether a visitor is in the middle of an utterance: audio (or typed text) is still coming,
    the session is still speaking or ramping back to rest, or frames wait to be sent."""
    utt = getattr(visitor, "utt", None)
    if utt is None:
        return False
    speaking = getattr(visitor, "speaking", None)
    return (getattr(visitor, "utterance_open", False) or (speaking is not None and not speaking.done())
            or utt.stats().mode != 0 or utt.frames_available() > 0 or getattr(visitor, "slot", None) is not None)


class Replica:
    """The balancer's view of one server: readiness, the agent's weight and the drain."""

    def __init__(self, server, drain_seconds: float = 30.0):
        if not 0.0 <= drain_seconds <= MAX_DRAIN_SECONDS:
            raise ValueError(f"--drain-seconds must be within 0..{MAX_DRAIN_SECONDS:g}")
        self.s = server
        self.drain_seconds = drain_seconds
        self.draining = False
        self.stopping = False
        self.name = f"{socket.gethostname()}/{os.getpid()}"
        self._agent: Optional[asyncio.AbstractServer] = None
        server.replica = self

    # -- what the balancer asks -----------------------------------------------------------------
    def free(self) -> int:
        return max(0, self.s.max_sessions - self.s.active)

    def agent_reply(self) -> str:
        if self.stopping:
            return "down"
        if self.draining:
            return "drain"
        free = self.free()
        return f"up {max(1, 100 * free // self.s.max_sessions) if free else 0}%"

    def refusal(self) -> Optional[str]:
        """The message a new visitor gets instead of a session while draining; None otherwise."""
        return DRAIN_REFUSAL if self.draining or self.stopping else None

    def routes(self, app: web.Application) -> None:
        app.router.add_get("/ready", self._ready)

    async def _ready(self, _req: web.Request) -> web.Response:
        ready = not self.draining and not self.stopping and self.free() > 0
        return web.json_response({"ready": ready, "free": self.free(), "draining": self.draining},
                                 status=200 if ready else 503)

    async def start_agent(self, host: str, port: int) -> int:
        """Listens for HAProxy's agent checks; returns the bound port."""
        async def answer(_reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
            try:
                writer.write((self.agent_reply() + "\n").encode())
                await writer.drain()
            except ConnectionError:
                pass
            finally:
                writer.close()

        self._agent = await asyncio.start_server(answer, host, port)
        return self._agent.sockets[0].getsockname()[1]

    async def close_agent(self) -> None:
        if self._agent is not None:
            self._agent.close()
            await self._agent.wait_closed()
            self._agent = None

    # -- SIGTERM --------------------------------------------------------------------------------
    async def drain(self, stop: asyncio.Event) -> None:
        """Refuses new visitors, lets each current one finish its utterance, then sets `stop` when
        none is left or the drain time is up."""
        if self.draining:
            return
        self.draining = True
        print(f"ka serve: draining {self.s.active} visitor(s), at most {self.drain_seconds:g} s", flush=True)
        deadline = time.monotonic() + self.drain_seconds
        while self.s.active > 0 and time.monotonic() < deadline and not stop.is_set():
            for v in list(self.s.visitors):
                if not utterance_open(v) and not v.ws.closed:
                    await v.ws.close(code=1001, message=b"server draining")
            await asyncio.sleep(DRAIN_POLL_S)
        self.stopping = True
        stop.set()
