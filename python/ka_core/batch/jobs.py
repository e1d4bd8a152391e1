"""Batch jobs: one clip each (bundle, audio, output path, stream options), read from JSON Lines."""
from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from typing import Iterable, List, Optional

FPS = 25
SAMPLE_RATE = 16000
MAX_AUDIO_SECONDS = 3600      # one clip's audio is held in memory whole
MAX_JOBS = 100000
MAX_LINE_BYTES = 64 * 1024
MAX_SKIP = 100000
MAX_THREADS = 64
OPTION_KEYS = {"w2v", "skip", "scale", "threads"}
JOB_KEYS = {"bundle", "audio", "output", "options"}


@dataclass(frozen=True)
class Job:
    """One clip: `ka speak BUNDLE AUDIO --w2v W2V --out OUTPUT --skip S --scale X --threads T`."""
    bundle: str
    audio: str
    output: str
    w2v: str
    skip: int = 0
    scale: float = 1.0
    threads: int = 1

    def __post_init__(self):
        for name in ("bundle", "audio", "output", "w2v"):
            if not isinstance(getattr(self, name), str) or not getattr(self, name):
                raise ValueError(f"{name} must be a non-empty path")
        if isinstance(self.skip, bool) or not isinstance(self.skip, int) or not 0 <= self.skip <= MAX_SKIP:
            raise ValueError(f"skip must be a whole number within 0..{MAX_SKIP}")
        if isinstance(self.threads, bool) or not isinstance(self.threads, int) or not 0 <= self.threads <= MAX_THREADS:
            raise ValueError(f"threads must be a whole number within 0..{MAX_THREADS}")
        if isinstance(self.scale, bool) or not isinstance(self.scale, (int, float)) or not math.isfinite(self.scale):
            raise ValueError("scale must be a finite number")
        for name in ("bundle", "audio", "output", "w2v"):  # workers may run elsewhere: absolute paths
            object.__setattr__(self, name, os.path.abspath(getattr(self, name)))
        object.__setattr__(self, "scale", float(self.scale))


def job_from(obj: object, w2v: Optional[str] = None) -> Job:
    """A job from one decoded JSON object; `w2v` is the default speech encoder."""
    if not isinstance(obj, dict):
        raise ValueError("a job must be a JSON object")
    unknown = set(obj) - JOB_KEYS
    if unknown:
        raise ValueError(f"unknown key(s) {sorted(unknown)}: a job has {sorted(JOB_KEYS)}")
    missing = {"bundle", "audio", "output"} - set(obj)
    if missing:
        raise ValueError(f"missing key(s) {sorted(missing)}")
    opts = obj.get("options", {})
    if not isinstance(opts, dict):
        raise ValueError("options must be a JSON object")
    unknown = set(opts) - OPTION_KEYS
    if unknown:
        raise ValueError(f"unknown option(s) {sorted(unknown)}: the options are {sorted(OPTION_KEYS)}")
    enc = opts.get("w2v", w2v)
    if enc is None:
        raise ValueError("no speech encoder: give options.w2v or --w2v")
    return Job(obj["bundle"], obj["audio"], obj["output"], enc, opts.get("skip", 0), opts.get("scale", 1.0),
               opts.get("threads", 1))


def check_unique(jobs: Iterable[Job]) -> List[Job]:
    jobs = list(jobs)
    seen = {}
    for i, j in enumerate(jobs):
        if j.output in seen:
            raise ValueError(f"jobs {seen[j.output] + 1} and {i + 1} both write {j.output}")
        seen[j.output] = i
    return jobs


def load_jobs(path: str, w2v: Optional[str] = None) -> List[Job]:
    """The jobs of a JSON Lines file, one object a line (blank lines skipped). Errors name the line."""
    jobs = []
    with open(path, "rb") as f:
        for number, raw in enumerate(iter(lambda: f.readline(MAX_LINE_BYTES + 1), b""), 1):
            if len(raw) > MAX_LINE_BYTES:
                raise ValueError(f"{path}:{number}: line longer than {MAX_LINE_BYTES} bytes")
            if not raw.strip():
                continue
            if len(jobs) == MAX_JOBS:
                raise ValueError(f"{path}: more than {MAX_JOBS} jobs")
            try:
                jobs.append(job_from(json.loads(raw), w2v))
            except (ValueError, TypeError) as e:
                raise ValueError(f"{path}:{number}: {e}") from None
    if not jobs:
        raise ValueError(f"{path}: no jobs")
    return check_unique(jobs)
