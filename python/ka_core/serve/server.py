"""The WebSocket server behind `ka serve` (aiohttp): contexts, sessions and the frame pump."""
from __future__ import annotations

import argparse
import asyncio
import os
import signal
import sys
import time
from concurrent.futures import Future, ThreadPoolExecutor, wait as wait_futures
from pathlib import Path
from typing import Iterable, List, Optional

import numpy as np
from aiohttp import WSMsgType, web

from . import media
from .tts import DEFAULT_COMMAND as DEFAULT_TTS, Tts

from .chatter import LibraryLog
from .guard import PING_S, AudioBudget, ControlError, HostRule, ReadWatch, parse_control
from .pool import ContextPool
from .replica import MAX_DRAIN_SECONDS, Replica

FPS = 25
CHUNK_SAMPLES = 320          # 20 ms at 16 kHz
MAX_MESSAGE_SAMPLES = 16000  # one message carries at most 1 s of audio
MAX_SESSIONS = 32
MAX_WS_MESSAGE = 1 << 20     # larger messages close the socket (1009); smaller bad ones get an error reply
READY_TIMEOUT_S = 120.0
POLL_S = 0.004
WAIT_S = 0.1                 # the longest single wait for the session's next frame (off the event loop)
REST_S = 0.2                 # an idle session this long without audio has ended its utterance
QUIET_WAIT_S = 10.0          # typed text waits at most this long for the last utterance to end
# Health answers open nothing and tell only how full the server is: balancers and orchestrators probe
# them without naming the server (HAProxy's check has no Host header), so the Host rule spares them.
HEALTH_PATHS = ("/status", "/ready")
KIND_NAMES = {0: "idle", 1: "speech", 2: "ramp"}  # the session's frame kinds, as the page names them
WEB_DIR = Path(__file__).resolve().parent / "web"  # the package carries the page (the checkout: a link to web/)


def log(line: str) -> None:
    """One line of the server's log (standard output)."""
    print(f"ka serve: {line}", flush=True)




class Server:
    def __init__(self, bundle: str, motion: str, max_sessions: int = 2, model: str = "b1", threads: int = 0,
                 quality: int = 80, web_dir: Path = WEB_DIR, host: str = "127.0.0.1",
                 allow_origins: Iterable[str] = (), library_log: Optional[LibraryLog] = None,
                 tts: str = DEFAULT_TTS):
        from ka_core import resolve_bundle
        if max_sessions < 1:
            raise ValueError("--max-sessions must be at least 1")
        if not 1 <= quality <= 95:
            raise ValueError("--jpeg-quality must be within 1..95")
        self.bundle_dir = resolve_bundle(bundle)  # a container is unpacked once, here
        self.motion = motion
        self.max_sessions = max_sessions
        self.threads = threads
        self.quality = quality
        self.tts = Tts(tts)
        if tts != DEFAULT_TTS and not self.tts.available():
            raise FileNotFoundError(f"--tts: {self.tts.program} is not installed")
        self.h264 = media.have_h264()
        self.web_dir = Path(web_dir)
        if not (self.web_dir / "index.html").is_file():
            raise FileNotFoundError(f"the page is missing: {self.web_dir / 'index.html'}")
        self.rule = HostRule(host, allow_origins)
        self.library_log = library_log
        self.pool = ContextPool(self.bundle_dir, model, threads, max_sessions)
        self.width, self.height = self.pool.size
        self.active = 0
        self.arrivals = 0  # visitors numbered in the order they came, for the log
        self._closing: set = set()  # leaving visitors' sessions, closing in the background
        # Sessions open and close, and wait for their next frame, on threads of their own: a context
        # being waited for or a session's threads being joined never hold up the frames' encoding on
        # the default executor. Each session uses at most two at a time.
        self.lifecycle = ThreadPoolExecutor(max_workers=2 * max_sessions, thread_name_prefix="ka-session")
        self.opened = 0
        self.refused = 0
        self.frames_dropped = 0  # frames a slow client never got, all visitors
        self.visitors: set = set()
        self.replica = None  # a replica.Replica: readiness, the balancer's agent, the drain

    # -- HTTP -----------------------------------------------------------------------------------
    def app(self) -> web.Application:
        app = web.Application(middlewares=[self._named_here])
        app.router.add_get("/", self._index)
        app.router.add_get("/status", self._status)
        app.router.add_get("/ws", self._ws)
        app.router.add_static("/static/", self.web_dir, show_index=False, follow_symlinks=False)
        if self.replica is not None:
            self.replica.routes(app)
        app.on_shutdown.append(self._shutdown)
        app.on_cleanup.append(self._closed)
        self._sockets: set = set()
        return app

    async def _index(self, _req: web.Request) -> web.StreamResponse:
        return web.FileResponse(self.web_dir / "index.html")

    async def _status(self, _req: web.Request) -> web.Response:
        return web.json_response({"sessions": self.active, "max_sessions": self.max_sessions,
                                  "opened": self.opened, "refused": self.refused,
                                  "frames_dropped": self.frames_dropped,
                                  "width": self.width, "height": self.height, "fps": FPS})

    async def _shutdown(self, _app) -> None:
        for ws in list(self._sockets):
            await ws.close(code=1001, message=b"server shutting down")

    async def _closed(self, _app) -> None:
        while self._closing:  # every session closed before the contexts are
            await asyncio.gather(*list(self._closing), return_exceptions=True)

    @staticmethod
    def _local(req: web.Request):
        sock = req.transport.get_extra_info("sockname") if req.transport else None
        return (sock[0], sock[1]) if sock else ("", 0)

    @web.middleware
    async def _named_here(self, req: web.Request, handler):
        if req.method == "GET" and req.path in HEALTH_PATHS:  # a balancer's or orchestrator's probe
            return await handler(req)
        why = self.rule.host_refusal(req.headers.get("Host", ""), *self._local(req))
        if why:  # DNS rebinding: a foreign domain's page reaching this server
            log(f"refused {req.remote}: {why}")
            return web.Response(status=403, text=f"ka serve: {why}\n")
        return await handler(req)

    def note(self, visitor: int, event: str) -> None:
        log(f"visitor {visitor}: {event} ({self.active}/{self.max_sessions} sessions)")

    # -- one visitor ----------------------------------------------------------------------------
    async def _ws(self, req: web.Request) -> web.StreamResponse:
        why = self.rule.origin_refusal(req.headers.get("Origin"), *self._local(req))
        if why:  # another site's page must not drive a session
            log(f"refused {req.remote}: {why}")
            return web.Response(status=403, text=f"ka serve: WebSocket refused: {why}\n")
        ws = web.WebSocketResponse(max_msg_size=MAX_WS_MESSAGE, autoping=False)  # pings: Visitor._watch
        await ws.prepare(req)
        self.arrivals += 1
        number = self.arrivals
        refusal = self.replica.refusal() if self.replica is not None else None
        if refusal is None and self.active >= self.max_sessions:
            refusal = f"All {self.max_sessions} sessions are in use: try again when a visitor leaves."
        if refusal is not None:
            self.refused += 1
            self.note(number, f"refused, {req.remote}")
            await ws.send_json({"type": "refused", "message": refusal})
            await ws.close()
            return ws
        self.active += 1
        self._sockets.add(ws)
        visitor = Visitor(self, ws, req, number)
        self.visitors.add(visitor)
        try:
            await visitor.run()
        except ConnectionResetError:  # the socket went while a message was on its way
            visitor.ended = "connection lost"
        finally:
            self.visitors.discard(visitor)
            self._sockets.discard(ws)
            self.active -= 1  # the slot is free with the socket; the session closes in the background
            closing = asyncio.ensure_future(visitor.release())
            self._closing.add(closing)
            closing.add_done_callback(self._closing.discard)
            self.note(number, visitor.summary())
        return ws


class Visitor:
    """One WebSocket and its session: reads audio and control, pumps frames at 25 fps. One encoded
    frame at most waits for a slow client; frames pulled meanwhile are dropped before they are
    encoded (no work for frames nobody gets, and H.264's chain of frames stays whole), so memory
    stays flat."""

    def __init__(self, server: Server, ws: web.WebSocketResponse, req: web.Request, number: int):
        self.s, self.ws = server, ws
        self.ctx = None
        self.utt = None
        self.opening: Optional[asyncio.Future] = None
        self.frame_wait: Optional[Future] = None  # the wait for the next frame, on a lifecycle thread
        self.loop = asyncio.get_running_loop()
        self.slot: Optional[tuple] = None  # (seq, message) of the newest encoded frame not yet sent
        self.pictures = media.Pictures(server.width, server.height, server.quality)
        self.tracks = media.Tracks()
        self.speaking: Optional[asyncio.Task] = None  # the text being spoken
        self.encoded_seq = self.taken_seq = None  # an encoded frame the client never got breaks H.264's chain
        self.slot_ready = asyncio.Event()
        self.sent = self.dropped = 0
        self.first_push_t: Optional[float] = None  # server clock of the utterance's first audio message
        self.req, self.number = req, number
        self.budget = AudioBudget(16000)
        self.watch = ReadWatch()
        self.audio_refused_t = -1.0  # when the latest "audio ahead" error went out
        self.bad_controls = 0
        self.since = time.monotonic()
        self.ended = "left"  # how the visit ended, for the log
        self.utterance_open = False  # audio pushed since the last end, interrupt or rest
        self.last_push_t = 0.0

    async def run(self) -> None:
        from ka_core import Session
        s = self.s
        def open_session() -> None:  # a worker thread; what it opens is released even after a cancel
            self.ctx = s.pool.take(READY_TIMEOUT_S)
            self.utt = Session(self.ctx, s.motion, threads=s.threads)

        try:
            self.opening = self.loop.run_in_executor(s.lifecycle, open_session)
            await asyncio.shield(self.opening)
            s.opened += 1
            deadline = time.monotonic() + READY_TIMEOUT_S
            while not self.utt.ready():
                if time.monotonic() > deadline:
                    raise TimeoutError("the session did not warm up in time")
                await asyncio.sleep(0.02)
        except Exception as e:  # the page shows why it got no session
            tail = self.s.library_log.tail(3) if self.s.library_log else []
            self.ended = f"no session: {e}" + "".join(f" | {line}" for line in tail)
            if not self.ws.closed:
                await self.ws.send_json({"type": "error", "message": f"no session: {e}"})
            return
        self.s.note(self.number, f"joined from {self.req.remote}, session ready in "
                                 f"{time.monotonic() - self.since:.1f} s")
        await self.ws.send_json({"type": "hello", "width": s.width, "height": s.height, "fps": FPS,
                                 "chunk_samples": CHUNK_SAMPLES, "session": s.opened,
                                 "replica": s.replica.name if s.replica is not None else "",
                                 "codecs": ["h264", "jpeg"] if s.h264 else ["jpeg"],
                                 "audio_rate": media.RATE, "tts": s.tts.available()})
        pump = asyncio.ensure_future(self._pump())
        send = asyncio.ensure_future(self._send())
        watch = asyncio.ensure_future(self._watch())
        try:
            await self._read()
        finally:
            self._stop_speaking()
            for task in (pump, send, watch):
                task.cancel()
            await asyncio.gather(pump, send, watch, return_exceptions=True)

    async def release(self) -> None:
        if self.opening is not None and not self.opening.done():  # the visitor left during the opening
            await asyncio.wait([self.opening])
        utt, self.utt = self.utt, None
        frame_wait, self.frame_wait = self.frame_wait, None
        try:
            if frame_wait is not None:  # ends within WAIT_S; the session must outlive it
                await self.loop.run_in_executor(None, wait_futures, [frame_wait])
            if utt is not None:  # joins the session's threads: off the event loop
                await self.loop.run_in_executor(self.s.lifecycle, utt.close)
        finally:
            if self.ctx is not None:  # a waiting visitor may be opening on it next
                self.s.pool.give(self.ctx)
                self.ctx = None

    def summary(self) -> str:
        refused = self.budget.refused_samples / 16000
        return (f"{self.ended} after {time.monotonic() - self.since:.0f} s, {self.sent} frames sent, "
                f"{self.dropped} dropped" + (f", {refused:.1f} s of audio refused" if refused else "") +
                (f", {self.bad_controls} bad control messages" if self.bad_controls else ""))

    async def _watch(self) -> None:
        """Pings every few seconds; a visitor that answers none for READ_TIMEOUT_S is not reading
        (or its socket is full) and is cut off: its slot and session go."""
        ping: Optional[asyncio.Future] = None
        self.watch.pong()  # the clock starts with the hello
        while True:
            await asyncio.sleep(PING_S)
            if self.watch.expired():
                self.ended = f"cut off (read nothing for {self.watch.silent_s():.0f} s)"
                if self.req.transport is not None:
                    self.req.transport.abort()  # close() would wait for the unread frames to leave
                return
            if ping is None or ping.done():  # the ping waits behind the frames the client has not read
                ping = asyncio.ensure_future(self.ws.ping())
                ping.add_done_callback(lambda f: f.cancelled() or f.exception())

    async def _read(self) -> None:
        async for msg in self.ws:
            if msg.type == WSMsgType.BINARY:
                await self._audio(msg.data)
            elif msg.type == WSMsgType.TEXT:
                await self._control(msg.data)
            elif msg.type == WSMsgType.PONG:
                self.watch.pong()
            elif msg.type == WSMsgType.PING:
                await self.ws.pong(msg.data)
            elif msg.type == WSMsgType.ERROR:
                break

    async def _audio(self, data: bytes) -> None:
        if len(data) % 2 or len(data) // 2 > MAX_MESSAGE_SAMPLES:
            await self.ws.send_json({"type": "error", "message":
                                     f"audio message of {len(data)} bytes refused: want whole int16 "
                                     f"samples, at most {MAX_MESSAGE_SAMPLES}"})
            return
        n = len(data) // 2
        take = self.budget.admit(n)
        if take < n:  # the excess is dropped; one reply a second says so
            now = time.monotonic()
            if now - self.audio_refused_t >= 1.0:
                self.audio_refused_t = now
                await self.ws.send_json({"type": "error", "code": "audio_ahead", "message":
                                         f"audio refused: {self.budget.cap / 16000:.0f} s are already queued "
                                         f"ahead of real time; send it at real-time pace"})
            if not take:
                return
        self._push(np.frombuffer(data, dtype="<i2", count=take).astype(np.int16))

    async def _control(self, text: str) -> None:
        try:
            msg = parse_control(text)
            kind = msg["type"]
        except ControlError as e:
            self.bad_controls += 1
            await self.ws.send_json({"type": "error", "message": str(e)})
            return
        if kind == "end":
            self.utterance_open = False
            self.tracks.end()
            self.utt.end_utterance()
        elif kind in ("say", "play", "video"):
            await self._media_control(msg)
        elif kind == "interrupt":
            self._stop_speaking()
            before = self.utt.frames_available()
            self.utt.interrupt()
            self.budget.reset()  # the session dropped the queued audio
            self.tracks.clear()
            self.utterance_open, self.first_push_t = False, None
            self.slot = None  # the encoded frame not yet sent goes too
            await self.ws.send_json({"type": "interrupted", "dropped": before, "waiting": self.utt.frames_available()})
        else:
            self.bad_controls += 1
            await self.ws.send_json({"type": "error", "message": f"unknown control message: {kind[:80]}"})

    async def _wait_frame(self) -> None:
        """Waits at most WAIT_S for the session's next frame on a lifecycle thread; release() lets
        a wait in flight end before it closes the session."""
        self.frame_wait = self.s.lifecycle.submit(self.utt.wait_frame, WAIT_S)
        await asyncio.wrap_future(self.frame_wait)

    async def _pump(self) -> None:
        from ka_core import SPEECH
        # Frames leave at most 25 a second. When none waits at a tick, wait for the session's next
        # one (off the event loop) and pace from the late pull, so a new utterance's first frame is
        # not held back until the next tick.
        period = 1.0 / FPS
        next_t = time.monotonic()
        while True:
            await asyncio.sleep(max(0.0, next_t - time.monotonic()))
            got = self.utt.pull_frame() if self.utt.frames_available() > 0 else None
            if got is None:
                await self._wait_frame()
                continue
            now = time.monotonic()
            next_t = max(next_t + period, now + period - POLL_S)
            rgb, info = got
            stats = self.utt.stats()
            record = {"type": "frame", "seq": info.seq, "kind": KIND_NAMES.get(info.kind, "?"),
                      "target": info.target, "speech_frame": info.speech_frame, "stats": stats._asdict(),
                      "waiting": self.utt.frames_available(), "sent": self.sent, "dropped": self.dropped}
            if info.kind == SPEECH and info.speech_frame == 0 and self.first_push_t is not None:
                record["server_first_frame_ms"] = (time.monotonic() - self.first_push_t) * 1000.0
                self.first_push_t = None
            # At rest with no audio for a while (an idle frame may still come just after a push the
            # session has not taken yet): the next audio opens a new utterance.
            if info.kind != SPEECH and stats.mode == 0 and time.monotonic() - self.last_push_t > REST_S:
                self.utterance_open = False
            audio = self.tracks.audio_for(info.speech_frame if info.kind == SPEECH else -1)
            if self.slot is not None:  # the client has not taken the last frame yet: this one is not encoded
                self.dropped += 1
                self.s.frames_dropped += 1
                continue
            # A key frame opens each utterance, and follows an encoded frame the client did not get.
            key = (info.kind == SPEECH and info.speech_frame == 0) or self.encoded_seq != self.taken_seq
            picture, fields = await self.loop.run_in_executor(None, self.pictures.encode, rgb, key)
            record.update(fields)
            self.encoded_seq = info.seq
            self.slot = (info.seq, media.frame_message(record, picture, audio))
            self.slot_ready.set()

    async def _send(self) -> None:
        while True:
            await self.slot_ready.wait()
            self.slot_ready.clear()
            item, self.slot = self.slot, None
            if item is None:
                continue
            self.taken_seq, msg = item
            await self.ws.send_bytes(msg)  # waits while the client's socket is full
            self.sent += 1

    def _push(self, pcm: np.ndarray) -> None:
        now = time.monotonic()
        if not self.utterance_open:  # the first audio after an end, an interrupt or a rest opens one
            self.utterance_open = True
            self.first_push_t = now
        self.last_push_t = now
        self.tracks.pushed(pcm)
        self.utt.push(pcm)

    def _stop_speaking(self) -> None:
        if self.speaking is not None:
            self.speaking.cancel()
            self.speaking = None

    async def _media_control(self, msg: dict) -> None:
        """{"type": "say", "text": ...}: speak the text; {"type": "play"}: the audio pushed until
        the next end plays on the page; {"type": "video", "codec": "h264" | "jpeg"}."""
        kind = msg["type"]
        if kind == "play":
            self.tracks.play_next()
        elif kind == "video":
            try:
                self.pictures.use(str(msg.get("codec")))
            except ValueError as e:
                await self.ws.send_json({"type": "error", "message": str(e)})
            await self.ws.send_json({"type": "video", "codec": self.pictures.codec})
        elif self.speaking is not None and not self.speaking.done():
            await self.ws.send_json({"type": "error", "message": "say: still speaking the last text"})
        else:
            self.speaking = asyncio.ensure_future(self._say(msg.get("text")))

    async def _say(self, text) -> None:
        try:
            t = time.monotonic()
            pcm = await self.loop.run_in_executor(None, self.s.tts.speak, text)
            await self.ws.send_json({"type": "saying", "samples": int(pcm.size),
                                     "tts_ms": round((time.monotonic() - t) * 1000.0, 1)})
            deadline = time.monotonic() + QUIET_WAIT_S  # the last utterance ends first, so this is one of its own
            while self.utt.stats().mode != 0 and time.monotonic() < deadline:
                await asyncio.sleep(1.0 / FPS)
            self.tracks.play_next()
            await media.feed(self._push, pcm)
            self.utterance_open = False
            self.tracks.end()
            self.utt.end_utterance()
        except Exception as e:  # TtsError, or the session refused the audio
            if not self.ws.closed:
                await self.ws.send_json({"type": "error", "message": str(e)})


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="ka serve", description="Talk to the avatar in a browser.")
    ap.add_argument("bundle", help="bundle directory or IMX container")
    ap.add_argument("--motion", required=True, help="audio model directory (the bundle itself for an "
                                                     "audio-to-expression bundle)")
    ap.add_argument("--w2v", help="speech encoder model (sets $W2V_ONNX for the sessions)")
    ap.add_argument("--host", default="127.0.0.1", help="address to bind (default: loopback only)")
    ap.add_argument("--port", type=int, default=8080, help="TCP port (0: any free port)")
    ap.add_argument("--max-sessions", type=int, default=2, help=f"visitors served at once (1..{MAX_SESSIONS})")
    ap.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                    help="another origin whose pages may open sessions, e.g. https://avatar.example "
                         "(repeatable; the server's own pages always may)")
    ap.add_argument("--verbose", action="store_true",
                    help="let the native libraries print their own messages (many lines per session)")
    ap.add_argument("--model", default="b1", help="model member key of the bundle")
    ap.add_argument("--threads", type=int, default=0, help="model threads per session")
    ap.add_argument("--jpeg-quality", type=int, default=80)
    ap.add_argument("--web", default=str(WEB_DIR), help="directory of the page")
    ap.add_argument("--agent-port", type=int, help="TCP port of the HAProxy agent check (free sessions as a weight)")
    ap.add_argument("--drain-seconds", type=float, default=30.0,
                    help="on SIGTERM, how long visitors may take to finish their utterances (default 30)")
    ap.add_argument("--tts", default=DEFAULT_TTS, help="text-to-speech command, run without a shell: {wav} is "
                    "the WAV file it writes, {text} the text (without {text}: on standard input)")
    a = ap.parse_args(argv)
    if not 0 <= a.port <= 65535:
        ap.error("--port must be within 0..65535")
    if not 1 <= a.max_sessions <= MAX_SESSIONS:
        ap.error(f"--max-sessions must be within 1..{MAX_SESSIONS}")
    if not 1 <= a.jpeg_quality <= 95:
        ap.error("--jpeg-quality must be within 1..95")
    if a.threads < 0:
        ap.error("--threads must not be negative")
    if a.agent_port is not None and not 0 <= a.agent_port <= 65535:
        ap.error("--agent-port must be within 0..65535")
    if not 0 <= a.drain_seconds <= MAX_DRAIN_SECONDS:
        ap.error(f"--drain-seconds must be within 0..{MAX_DRAIN_SECONDS:g}")
    if a.w2v:
        if not os.path.isfile(a.w2v):
            ap.error(f"--w2v: not a file: {a.w2v}")
        os.environ["W2V_ONNX"] = os.path.abspath(a.w2v)
    chatter = None if a.verbose else LibraryLog()
    try:
        try:
            server = Server(a.bundle, a.motion, a.max_sessions, a.model, a.threads, a.jpeg_quality, Path(a.web),
                            a.host, a.allow_origin, chatter, tts=a.tts)
            Replica(server, a.drain_seconds)
        except Exception as e:
            tail = chatter.tail(10) if chatter else []
            print("\n".join(tail + [f"ka serve: {e}"]), file=sys.stderr)
            return 1
        return asyncio.run(_serve(server, a.host, a.port, a.agent_port))
    finally:
        if chatter:
            chatter.close()


async def _serve(server: Server, host: str, port: int, agent_port: Optional[int] = None) -> int:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGINT, stop.set)
    drain = []  # SIGTERM drains a replica (the balancer's stop); without one it stops at once
    loop.add_signal_handler(signal.SIGTERM, lambda: drain.append(asyncio.ensure_future(server.replica.drain(stop)))
                            if server.replica is not None else stop.set())
    runner = web.AppRunner(server.app())
    await runner.setup()
    site = web.TCPSite(runner, host, port)
    await site.start()
    bound = site._server.sockets[0].getsockname()[1] if site._server and site._server.sockets else port
    print(f"ka serve: http://{host}:{bound}/ ({server.width}x{server.height}, up to {server.max_sessions} "
          f"sessions)", flush=True)
    if agent_port is not None and server.replica is not None:
        print(f"ka serve: agent check on {host}:{await server.replica.start_agent(host, agent_port)}", flush=True)
    try:
        await stop.wait()
        print("ka serve: stopping", flush=True)
    finally:
        if server.replica is not None:
            await server.replica.close_agent()
        await runner.cleanup()
        await server._closed(None)
        server.lifecycle.shutdown(wait=True)
        server.pool.close()
    return 0
