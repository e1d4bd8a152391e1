#!/usr/bin/python3
"""Clips per minute of ka_core.batch on a local Dask cluster with 1 and 2 workers, against `ka speak`
run once per clip, on a forged bundle and synthetic speech. Prints one JSON line of figures.

    KA_TOOL=build/tools/ka KA_CORE_LIBRARY=build/libka_core.so PYTHONPATH=python \\
        python3 bench/batch_scaling.py [--clips 12] [--seconds 2.0]

clips_per_min_Nw counts from the submit of the first clip to the last clip written, with the workers
already started; per_clip_overhead_s is the batch's wall time per clip on one worker less the
clip's own render time in the worker (scheduling, transfer, the encoder's process start);
speak_per_clip_s is one `ka speak` process per clip, bundle opening included.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FORGE = os.path.join(ROOT, "tools/forge/forge.py")


def forge(*args):
    subprocess.run([sys.executable, FORGE, *args], check=True, stdout=subprocess.DEVNULL)


def speech_like(seconds, shift):
    t = np.arange(int(16000 * seconds)) / 16000.0 + shift
    envelope = np.sin(np.pi * (t % 0.25) / 0.25) ** 2 * ((t % 1.6) < 1.2)
    return envelope * (0.2 * np.sin(2 * np.pi * 140 * t) + 0.1 * np.sin(2 * np.pi * 420 * t))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clips", type=int, default=12)
    ap.add_argument("--seconds", type=float, default=2.0, help="audio per clip")
    a = ap.parse_args()
    if not 2 <= a.clips <= 500 or not 0.2 <= a.seconds <= 60:
        ap.error("--clips within 2..500, --seconds within 0.2..60")
    from dask.distributed import Client, LocalCluster
    from ka_core import batch
    tool = batch.find_ka_tool()
    tmp = tempfile.mkdtemp(prefix="ka-batch-bench-")
    try:
        b = os.path.join(tmp, "b")
        forge("bundle", b, "--size", "small")
        forge("director-steady", b, "--render-key")
        forge("a2x", b, os.path.join(tmp, "w2v"), "--legacy-only")
        w2v = os.path.join(tmp, "w2v", "w2v.onnx")
        audios = []
        for i in range(a.clips):
            path = os.path.join(tmp, f"a{i}.wav")
            with wave.open(path, "wb") as f:
                f.setnchannels(1)
                f.setsampwidth(2)
                f.setframerate(16000)
                f.writeframes((speech_like(a.seconds, 0.37 * i) * 32767).astype("<i2").tobytes())
            audios.append(path)

        t0 = time.monotonic()
        for i, audio in enumerate(audios):
            subprocess.run([tool, "speak", b, audio, "--w2v", w2v, "--out", os.path.join(tmp, f"s{i}.mp4"),
                            "--threads", "1"], check=True, capture_output=True)
        speak = (time.monotonic() - t0) / a.clips

        figures = {"clips": a.clips, "audio_s_per_clip": a.seconds, "speak_per_clip_s": round(speak, 3),
                   "speak_clips_per_min": round(60 / speak, 1)}
        for workers in (1, 2):
            out = os.path.join(tmp, f"out{workers}")
            os.mkdir(out)
            jobs = [batch.Job(b, audio, os.path.join(out, f"c{i}.mp4"), w2v) for i, audio in enumerate(audios)]
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cl, \
                    Client(cl) as client:
                client.wait_for_workers(workers)
                t0 = time.monotonic()
                outcomes = batch.render(jobs, client, ka_tool=tool)
                wall = time.monotonic() - t0
            failed = [o.error for o in outcomes if o.status != "rendered"]
            if failed:
                raise SystemExit(f"batch failed: {failed[0]}")
            figures[f"clips_per_min_{workers}w"] = round(60 * a.clips / wall, 1)
            if workers == 1:
                figures["per_clip_overhead_s"] = round((wall - sum(o.render_seconds for o in outcomes)) / a.clips, 3)
                figures["batch_per_clip_s_1w"] = round(wall / a.clips, 3)
        figures["ratio_2w_over_1w"] = round(figures["clips_per_min_2w"] / figures["clips_per_min_1w"], 2)
        print(json.dumps(figures))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
