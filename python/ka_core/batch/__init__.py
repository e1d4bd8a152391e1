"""Clips in batches on a Dask distributed cluster.

    python3 -m ka_core.batch JOBS.jsonl [--scheduler tcp://HOST:PORT] [--w2v W2V.onnx] [--retries 2]

Each line of JOBS.jsonl is one clip:

    {"bundle": "avatar", "audio": "hello.wav", "output": "out/hello.mp4",
     "options": {"w2v": "w2v.onnx", "skip": 0, "scale": 1.0, "threads": 1}}

and runs as one task. A worker process opens each bundle once and renders every later clip on it
with the same stream; the video stream of an output is the one `ka speak` writes for the same
inputs. An output appears under its name only when whole (a rerun skips outputs that exist); a
failed clip is retried, then reported with its error. Without --scheduler a local cluster of one
single-threaded worker per core runs the batch.

From Python:

    from dask.distributed import Client
    from ka_core import batch
    with Client("tcp://10.0.0.5:8786") as client:
        outcomes = batch.render(batch.load_jobs("jobs.jsonl"), client)
"""
from __future__ import annotations

import os
import shutil
import sys
import time
from dataclasses import dataclass
from typing import IO, List, Optional, Sequence

from .jobs import Job, check_unique, job_from, load_jobs
from . import worker

MAX_RETRIES = 10

__all__ = ["Job", "Outcome", "job_from", "load_jobs", "render", "find_ka_tool", "main"]


@dataclass
class Outcome:
    """What became of one job: rendered, skipped (the output existed) or failed (error set)."""
    job: Job
    status: str                      # "rendered", "skipped" or "failed"
    error: str = ""
    frames: int = 0
    audio_seconds: float = 0.0
    video_seconds: float = 0.0
    render_seconds: float = 0.0
    host: str = ""
    pid: int = 0
    opened: bool = False             # this clip's worker opened the bundle for it


def find_ka_tool(given: Optional[str] = None) -> str:
    """The `ka` tool the workers encode with: `given`, else $KA_TOOL, else `ka` on the PATH."""
    tool = given or os.environ.get("KA_TOOL") or shutil.which("ka")
    if not tool:
        raise FileNotFoundError("no `ka` tool: put it on the PATH or name it with $KA_TOOL")
    return os.path.abspath(tool) if os.path.sep in tool else tool


class _Progress:
    """One line on a terminal (or a few in a log): clips done and seconds of audio rendered."""

    def __init__(self, total: int, out: Optional[IO[str]]):
        self.total, self.out = total, out
        self.done = 0
        self.audio = 0.0
        self.t0 = self.shown = time.monotonic()

    def add(self, audio_seconds: float) -> None:
        self.done += 1
        self.audio += audio_seconds
        now = time.monotonic()
        if self.out is None or (self.done < self.total and now - self.shown < 0.25):
            return
        self.shown = now
        width = 30
        filled = self.done * width // self.total if self.total else width
        self.out.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} clips  "
                       f"{self.audio:.1f} s of audio  {now - self.t0:.1f} s")
        if self.done == self.total:
            self.out.write("\n")
        self.out.flush()


def render(jobs: Sequence[Job], client, retries: int = 2, ka_tool: Optional[str] = None,
           progress: Optional[IO[str]] = None) -> List[Outcome]:
    """Renders every job on the cluster behind `client` (a dask.distributed Client), each as one
    task retried up to `retries` times. Returns one Outcome per job, in the jobs' order."""
    from dask.distributed import as_completed
    if not 0 <= retries <= MAX_RETRIES:
        raise ValueError(f"retries must be within 0..{MAX_RETRIES}")
    jobs = check_unique(jobs)
    tool = find_ka_tool(ka_tool)
    outcomes: List[Optional[Outcome]] = [None] * len(jobs)
    bar = _Progress(len(jobs), progress)
    futures = {}
    for i, job in enumerate(jobs):
        if os.path.exists(job.output):
            outcomes[i] = Outcome(job, "skipped")
            bar.add(0.0)
            continue
        f = client.submit(worker.render_clip, job, tool, retries=retries, pure=False, key=f"ka-clip-{i}-{os.getpid()}-{time.time_ns()}")
        futures[f] = i
    for f in as_completed(list(futures)):
        i = futures[f]
        job = jobs[i]
        try:
            r = f.result()
        except Exception as e:  # the task's own error, or the cluster's (a worker lost too often)
            outcomes[i] = Outcome(job, "failed", error=str(e) or type(e).__name__)
            bar.add(0.0)
            continue
        if r["skipped"]:
            outcomes[i] = Outcome(job, "skipped", host=r["host"], pid=r["pid"])
            bar.add(0.0)
            continue
        outcomes[i] = Outcome(job, "rendered", frames=r["frames"], audio_seconds=r["audio_seconds"],
                              video_seconds=r["video_seconds"], render_seconds=r["render_seconds"],
                              host=r["host"], pid=r["pid"], opened=r["opened"])
        bar.add(r["audio_seconds"])
    return outcomes  # type: ignore[return-value]


def summary(outcomes: Sequence[Outcome], seconds: float) -> str:
    """A table of the outputs (duration, render time or error) and one closing line."""
    lines = [f"{'output':<48} {'duration':>9} {'render':>8}"]
    for o in outcomes:
        if o.status == "rendered":
            lines.append(f"{o.job.output:<48} {o.video_seconds:>7.2f} s {o.render_seconds:>6.2f} s")
        elif o.status == "skipped":
            lines.append(f"{o.job.output:<48} {'skipped: the output exists':>18}")
        else:
            lines.append(f"{o.job.output:<48} FAILED: {o.error}")
    count = {s: sum(o.status == s for o in outcomes) for s in ("rendered", "skipped", "failed")}
    audio = sum(o.audio_seconds for o in outcomes)
    lines.append(f"{len(outcomes)} clips: {count['rendered']} rendered, {count['skipped']} skipped, "
                 f"{count['failed']} failed; {audio:.1f} s of audio in {seconds:.1f} s")
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> int:
    import argparse
    ap = argparse.ArgumentParser(prog="python3 -m ka_core.batch", description="Render clips on a Dask cluster.")
    ap.add_argument("jobs", help="JSON Lines file, one clip a line")
    ap.add_argument("--scheduler", help="tcp://HOST:PORT of a running Dask scheduler (default: a local cluster)")
    ap.add_argument("--workers", type=int, help="local cluster only: worker processes (default: one per core)")
    ap.add_argument("--w2v", help="speech encoder for jobs whose options name none")
    ap.add_argument("--retries", type=int, default=2, help=f"retries of a failed clip (0..{MAX_RETRIES})")
    ap.add_argument("--ka", help="the `ka` tool the workers encode with (default: $KA_TOOL, else the PATH)")
    a = ap.parse_args(argv)
    cores = os.cpu_count() or 1
    if a.workers is not None and not 1 <= a.workers <= 4 * cores:
        ap.error(f"--workers must be within 1..{4 * cores}")
    if a.workers is not None and a.scheduler:
        ap.error("--workers sizes the local cluster: it does not go with --scheduler")
    if not 0 <= a.retries <= MAX_RETRIES:
        ap.error(f"--retries must be within 0..{MAX_RETRIES}")
    try:
        jobs = load_jobs(a.jobs, a.w2v)
        tool = find_ka_tool(a.ka)
    except (OSError, ValueError) as e:
        print(f"ka batch: {e}", file=sys.stderr)
        return 2
    from dask.distributed import Client, LocalCluster
    t0 = time.monotonic()
    if a.scheduler:
        client = Client(a.scheduler, timeout="30s")
        cluster = None
    else:
        cluster = LocalCluster(n_workers=a.workers or cores, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        outcomes = render(jobs, client, a.retries, tool, progress=sys.stderr)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(summary(outcomes, time.monotonic() - t0))
    return 1 if any(o.status == "failed" for o in outcomes) else 0
