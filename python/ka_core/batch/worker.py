"""What runs inside a Dask worker process: one clip per task, over offline streams kept open for
the life of the process (one per bundle and stream options), written through `ka encode`."""
from __future__ import annotations

import os
import socket
import subprocess
import tempfile
import threading
import time
from typing import Dict, Tuple

import numpy as np

from .jobs import FPS, MAX_AUDIO_SECONDS, SAMPLE_RATE, Job

_streams: Dict[Tuple, object] = {}
_lock = threading.Lock()  # a worker may be given more than one thread; a stream serves one at a time


class ClipError(RuntimeError):
    """A clip that could not be rendered; the message names the clip and the cause."""


def _stream_key(job: Job) -> Tuple:
    return (job.bundle, job.w2v, job.threads, job.skip, job.scale)


def _open_stream(job: Job):
    """The process's stream for the job's bundle and options, opened on first use. Returns it and
    whether this call opened it."""
    from ka_core import Stream
    key = _stream_key(job)
    s = _streams.get(key)
    if s is not None:
        return s, False
    s = Stream(job.bundle, job.w2v, threads=job.threads, skip=job.skip, scale=job.scale)
    _streams[key] = s
    return s, True


def _read_samples(proc: subprocess.Popen, job: Job) -> np.ndarray:
    head = proc.stdout.readline(64).decode("ascii", "replace").split()
    if len(head) != 2 or head[0] != "samples" or not head[1].isdigit():
        return None
    n = int(head[1])
    if n > MAX_AUDIO_SECONDS * SAMPLE_RATE:
        raise ClipError(f"{job.audio}: longer than {MAX_AUDIO_SECONDS} s")
    data = proc.stdout.read(4 * n)
    if len(data) != 4 * n:
        return None
    return np.frombuffer(data, "<f4").astype(np.float32)


def render_clip(job: Job, ka_tool: str) -> dict:
    """Renders one clip into job.output: the frames of the process's stream for the bundle, the
    file written by `ka encode` under a temporary name that is renamed only once it is whole."""
    t0 = time.monotonic()
    where = {"host": socket.gethostname(), "pid": os.getpid()}
    if os.path.exists(job.output):
        return {**where, "output": job.output, "skipped": True}
    tmp = f"{job.output}.{where['host']}-{where['pid']}.part"
    os.makedirs(os.path.dirname(job.output), exist_ok=True)
    with _lock:
        try:
            stream, opened = _open_stream(job)
        except Exception as e:
            raise ClipError(f"cannot open {job.bundle}: {e}") from None
        with tempfile.TemporaryFile() as err:
            proc = subprocess.Popen([ka_tool, "encode", job.audio, "--size", f"{stream.width}x{stream.height}",
                                     "--out", tmp, "--skip", str(job.skip)],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
            failure = None
            frames = 0
            samples = None
            try:
                samples = _read_samples(proc, job)
                if samples is not None:
                    def write(_n: int, rgb: np.ndarray) -> None:
                        nonlocal frames
                        proc.stdin.write(rgb.tobytes())
                        frames += 1
                    stream.run(samples, write)
                    proc.stdin.close()
            except BrokenPipeError:
                pass  # the encoder stopped: its own message says why
            except Exception as e:
                failure = str(e)
                _streams.pop(_stream_key(job), None)  # a stream that failed mid-run is not reused
            finally:
                if failure is not None or samples is None:
                    proc.kill()
                for f in (proc.stdin, proc.stdout):
                    try:
                        f.close()
                    except OSError:
                        pass
                rc = proc.wait()
                err.seek(0)
                told = err.read(4000).decode("utf-8", "replace").strip()
            if failure is not None or rc != 0:
                if os.path.exists(tmp):
                    os.unlink(tmp)
                why = failure or (told.splitlines()[-1] if told else f"ka encode exited with {rc}")
                raise ClipError(why)
        os.replace(tmp, job.output)
    return {**where, "output": job.output, "skipped": False, "opened": opened, "frames": frames,
            "audio_seconds": samples.size / SAMPLE_RATE, "video_seconds": frames / FPS,
            "render_seconds": time.monotonic() - t0}
