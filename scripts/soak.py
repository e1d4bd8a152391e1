"""The soak behind scripts/soak.sh: an utterance session in this process, driven in real time with
random speech, silences, ends and interrupts while a second thread pulls its frames, and two
scripted visitors of a running `ka serve` doing the same over WebSockets (leaving and coming back
now and then). Every minute it prints the resident memory, open descriptors and threads of this
process and of the server; at the end it fails when any of them grew after the warm-up.

    python3 scripts/soak.py --minutes 30 --bundle B --motion B/motion --serve-pid PID --port PORT
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import sys
import threading
import time

import numpy as np

RATE = 16000
CHUNK = 320  # 20 ms


def speech(seconds: float, rng: random.Random) -> np.ndarray:
    """Voiced syllables: a few harmonics of a wandering pitch under a syllable envelope, and noise."""
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    f0 = rng.uniform(100, 220) * (1 + 0.1 * np.sin(2 * np.pi * rng.uniform(0.5, 2) * t))
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    voice = sum(np.sin(k * phase) / k for k in range(1, 6))
    env = np.clip(np.sin(np.pi * t * rng.uniform(3, 6)), 0, None) ** 0.5
    x = 0.25 * voice * env + 0.01 * np.random.default_rng(rng.randrange(1 << 30)).standard_normal(n)
    return np.clip(x * 32767, -32768, 32767).astype(np.int16)


def paced(chunks, push, stop: threading.Event) -> bool:
    """Hands each 20 ms chunk to push() at its real-time moment; False when stopped."""
    t0 = time.monotonic()
    for i, c in enumerate(chunks):
        if stop.is_set():
            return False
        delay = t0 + i * CHUNK / RATE - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        push(c)
    return True


def chunks_of(pcm: np.ndarray):
    return [pcm[i:i + CHUNK] for i in range(0, len(pcm), CHUNK)]


def plan(rng: random.Random):
    """One turn: (speech seconds, what ends it, silence seconds after it)."""
    return (rng.uniform(0.3, 4.0), rng.choice(["end", "interrupt", "silence", "silence-samples"]),
            rng.uniform(0.0, 2.5))


# ---- The in-process utterance session ------------------------------------------------------------

class LocalSession:
    def __init__(self, bundle: str, motion: str, seed: int):
        import ka_core
        self.ctx = ka_core.Context(bundle, threads=1)
        self.s = ka_core.Session(self.ctx, motion, threads=1)
        self.s.wait_ready(timeout=600)
        self.rng = random.Random(seed)
        self.stop = threading.Event()
        self.counts = {"turns": 0, "frames": 0, "speech": 0, "interrupts": 0, "ends": 0}
        self.errors: list = []

    def speak(self) -> None:
        try:
            while not self.stop.is_set():
                secs, how, quiet = plan(self.rng)
                pcm = speech(secs, self.rng)
                cut = len(pcm) if how != "interrupt" else int(len(pcm) * self.rng.uniform(0.2, 0.9))
                if not paced(chunks_of(pcm[:cut]), self.s.push, self.stop):
                    break
                if how == "end":
                    self.s.end_utterance()
                    self.counts["ends"] += 1
                elif how == "interrupt":
                    self.s.interrupt()
                    self.counts["interrupts"] += 1
                elif how == "silence-samples":  # the speaker goes quiet but the microphone keeps sending
                    paced(chunks_of(np.zeros(int(quiet * RATE), np.int16)), self.s.push, self.stop)
                    quiet = 0
                self.counts["turns"] += 1
                self.stop.wait(quiet)
        except Exception as e:  # noqa: BLE001 (reported at the end)
            self.errors.append(f"session push: {e}")
            self.stop.set()

    def pull(self) -> None:
        import ka_core
        out = np.empty(self.s.shape, np.uint8)
        try:
            while not self.stop.is_set():
                while (info := self.s.pull_frame_into(out)) is not None:
                    self.counts["frames"] += 1
                    self.counts["speech"] += info.kind == ka_core.SPEECH
                self.stop.wait(0.04)
            status = self.s.render_status()
            if status:
                self.errors.append(f"session render failure: {status}")
        except Exception as e:  # noqa: BLE001
            self.errors.append(f"session pull: {e}")
            self.stop.set()

    def close(self) -> None:
        self.s.close()
        self.ctx.close()


# ---- The visitors of `ka serve` ------------------------------------------------------------------

class Visitors:
    def __init__(self, port: int, seed: int):
        self.url = f"http://127.0.0.1:{port}"
        self.rng = random.Random(seed)
        self.quiet = asyncio.Lock()  # held while a visitor reconnects and while the monitor samples
        self.counts = {"visits": 0, "frames": 0, "refused": 0, "interrupted": 0}
        self.errors: list = []

    async def visit(self, session, name: str, end_t: float) -> None:
        rng = random.Random(self.rng.randrange(1 << 30))
        while time.monotonic() < end_t:
            async with self.quiet:
                ws = await session.ws_connect(self.url + "/ws")
                hello = json.loads((await ws.receive()).data)
                if hello.get("type") == "refused":  # the previous visit is still being released
                    self.counts["refused"] += 1
                    await ws.close()
                    await asyncio.sleep(0.5)
                    continue
                if hello.get("type") != "hello":
                    self.errors.append(f"{name}: {hello}")
                    await ws.close()
                    return
            self.counts["visits"] += 1
            reader = asyncio.ensure_future(self.read(ws, name))
            stay_until = min(end_t, time.monotonic() + rng.uniform(60, 240))
            try:
                while time.monotonic() < stay_until and not ws.closed:
                    secs, how, quiet = plan(rng)
                    pcm = speech(secs, rng)
                    cut = len(pcm) if how != "interrupt" else int(len(pcm) * rng.uniform(0.2, 0.9))
                    t0 = time.monotonic()
                    for i, c in enumerate(chunks_of(pcm[:cut])):
                        await asyncio.sleep(max(0.0, t0 + i * CHUNK / RATE - time.monotonic()))
                        await ws.send_bytes(c.astype("<i2").tobytes())
                    if how in ("end", "interrupt"):
                        await ws.send_str(json.dumps({"type": how}))
                    await asyncio.sleep(quiet)
            finally:
                await ws.close()
                await asyncio.gather(reader, return_exceptions=True)

    async def read(self, ws, name: str) -> None:
        from aiohttp import WSMsgType
        async for msg in ws:
            if msg.type == WSMsgType.BINARY:
                self.counts["frames"] += 1
            elif msg.type == WSMsgType.TEXT:
                m = json.loads(msg.data)
                if m.get("type") == "interrupted":
                    self.counts["interrupted"] += 1
                elif m.get("type") == "error":
                    self.errors.append(f"{name}: {m}")


# ---- Figures -------------------------------------------------------------------------------------

def figures(pid: int):
    """(resident MiB, open descriptors, threads) of a process."""
    with open(f"/proc/{pid}/status") as f:
        st = dict(line.split(":", 1) for line in f if ":" in line)
    rss = int(st["VmRSS"].split()[0]) / 1024.0
    return rss, len(os.listdir(f"/proc/{pid}/fd")), int(st["Threads"])


def grew(rows, label: str, rss_slack_mib: float) -> list:
    """Growth from the sample a third into the run to the last one."""
    base, last = rows[max(1, len(rows) // 3)], rows[-1]
    out = []
    if last[0] > base[0] * 1.10 + rss_slack_mib:
        out.append(f"{label}: resident memory grew {base[0]:.0f} -> {last[0]:.0f} MiB")
    if last[1] > base[1] + 2:
        out.append(f"{label}: open descriptors grew {base[1]} -> {last[1]}")
    if last[2] > base[2] + 2:
        out.append(f"{label}: threads grew {base[2]} -> {last[2]}")
    return out


async def main_async(a) -> int:
    import aiohttp
    local = LocalSession(a.bundle, a.motion, a.seed)
    workers = [threading.Thread(target=local.speak), threading.Thread(target=local.pull)]
    for w in workers:
        w.start()
    visitors = Visitors(a.port, a.seed + 1)
    end_t = time.monotonic() + a.minutes * 60
    me, rows = os.getpid(), {"session": [], "serve": []}

    async def monitor():
        minute = 0
        while True:
            async with visitors.quiet:
                s, v = figures(me), figures(a.serve_pid)
            rows["session"].append(s)
            rows["serve"].append(v)
            print(f"soak: minute {minute:3d}  session: rss {s[0]:7.1f} MiB fds {s[1]:4d} threads {s[2]:3d}"
                  f"  |  serve: rss {v[0]:7.1f} MiB fds {v[1]:4d} threads {v[2]:3d}"
                  f"  |  turns {local.counts['turns']} frames {local.counts['frames']}"
                  f" visits {visitors.counts['visits']} visitor frames {visitors.counts['frames']}", flush=True)
            if time.monotonic() >= end_t:
                return
            minute += 1
            await asyncio.sleep(max(0.0, min(60.0, end_t - time.monotonic())))

    async with aiohttp.ClientSession() as http:
        mon = asyncio.ensure_future(monitor())
        await asyncio.gather(*(visitors.visit(http, f"visitor {k}", end_t) for k in (1, 2)))
        await mon
    local.stop.set()
    for w in workers:
        w.join()
    local.close()
    errors = local.errors + visitors.errors
    errors += grew(rows["session"], "session", a.rss_slack) + grew(rows["serve"], "serve", a.rss_slack)
    print(f"soak: session {local.counts}; visitors {visitors.counts}")
    for e in errors:
        print(f"soak: FAIL {e}", flush=True)
    return 1 if errors else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, required=True)
    ap.add_argument("--bundle", required=True)
    ap.add_argument("--motion", required=True)
    ap.add_argument("--serve-pid", type=int, required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--rss-slack", type=float, default=24.0, help="MiB of growth tolerated beyond 10%%")
    return asyncio.run(main_async(ap.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
