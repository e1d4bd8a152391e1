"""ka_core.batch on a real Dask cluster over loopback: a scheduler and two worker processes, eight
clips on two bundles. The outputs' video streams are compared with `ka speak` of the same inputs
(FFmpeg's own demuxer copies both streams out); a worker is killed while it renders; a clip with a
broken audio file fails alone. Exit 77: skipped (no Dask)."""
import glob
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

import numpy as np

from support import forge, speech_like

try:
    from dask.distributed import Client
except ImportError:
    print("SKIP: dask.distributed is not installed (Debian python3-distributed)")
    sys.exit(77)

from ka_core import batch

KA = os.environ["KA_TOOL"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_wav(path, x):
    with wave.open(path, "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(16000)
        f.writeframes((np.clip(x, -1, 1) * 32767).astype("<i2").tobytes())


def video_stream(path):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "h264", "-"],
                          check=True, capture_output=True).stdout


class BatchOnCluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        d = cls.dir = cls.tmp.name
        cls.procs = []
        for b in ("b1", "b2"):  # two small avatars, each with its speech models
            forge("bundle", os.path.join(d, b), "--size", "small", "--seed", "3" if b == "b1" else "11")
            forge("director-steady", os.path.join(d, b), "--render-key")
            forge("a2x", os.path.join(d, b), os.path.join(d, b + "-w2v"), "--legacy-only")
        os.mkdir(os.path.join(d, "out"))
        cls.jobs = []
        lengths = [6.0, 0.8, 1.2, 1.0, 0.6, 1.4, 0.9]  # the first is long enough to be caught mid-render
        for i, secs in enumerate(lengths):
            audio = os.path.join(d, f"a{i}.wav")
            write_wav(audio, np.roll(speech_like(secs), 731 * i))
            b = "b1" if i % 2 == 0 else "b2"
            cls.jobs.append({"bundle": os.path.join(d, b), "audio": audio, "output": os.path.join(d, "out", f"c{i}.mp4"),
                             "options": {"w2v": os.path.join(d, b + "-w2v", "w2v.onnx"), "skip": 0 if b == "b1" else 2}})
        broken = os.path.join(d, "broken.wav")
        with open(broken, "wb") as f:
            f.write(b"RIFF\x10\x00\x00\x00WAVEjunk")
        cls.jobs.insert(4, {"bundle": os.path.join(d, "b2"), "audio": broken,
                            "output": os.path.join(d, "out", "broken.mp4"),
                            "options": {"w2v": os.path.join(d, "b2-w2v", "w2v.onnx"), "skip": 2}})
        cls.jobs_file = os.path.join(d, "jobs.jsonl")
        with open(cls.jobs_file, "w") as f:
            f.write("\n".join(json.dumps(j) for j in cls.jobs) + "\n")

        port = free_port()
        cls.address = f"tcp://127.0.0.1:{port}"
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        cls.procs.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host",
                                           "127.0.0.1", "--port", str(port), "--no-dashboard"], **quiet))
        cls.workers = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", cls.address,
                                         "--nthreads", "1", "--no-nanny", "--no-dashboard", "--name", f"w{k}",
                                         "--host", "127.0.0.1"], **quiet) for k in range(2)]
        cls.procs += cls.workers
        cls.client = Client(cls.address, timeout="60s")
        cls.client.wait_for_workers(2, timeout=120)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        for p in cls.procs:
            if p.poll() is None:
                p.terminate()
        for p in cls.procs:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        cls.tmp.cleanup()

    def test_batch(self):
        jobs = batch.load_jobs(self.jobs_file)
        killed = []

        def kill_a_renderer():  # the first worker seen writing a clip dies mid-render
            deadline = time.monotonic() + 120
            pids = {w.pid for w in self.workers}
            while time.monotonic() < deadline:
                for part in glob.glob(os.path.join(self.dir, "out", "*.part")):
                    pid = int(part.rsplit("-", 1)[1].split(".")[0])
                    if pid in pids:
                        os.kill(pid, signal.SIGKILL)
                        killed.append((pid, part))
                        return
                time.sleep(0.01)

        killer = threading.Thread(target=kill_a_renderer)
        killer.start()
        outcomes = batch.render(jobs, self.client, retries=1, ka_tool=KA)
        killer.join()
        self.assertEqual(len(killed), 1, "no worker was caught rendering")
        dead_pid, dead_part = killed[0]

        by_out = {o.job.output: o for o in outcomes}
        broken = by_out.pop(os.path.join(self.dir, "out", "broken.mp4"))
        self.assertEqual(broken.status, "failed")
        self.assertIn("broken.wav", broken.error)
        self.assertFalse(os.path.exists(broken.job.output))
        self.assertEqual([o.status for o in by_out.values()], ["rendered"] * 7, [o.error for o in by_out.values()])
        self.assertEqual({o.pid for o in by_out.values()} & {dead_pid}, set(), "a dead worker's result was kept")
        self.assertIn(dead_part.rsplit(".", 2)[0], by_out)  # the clip being written when its worker died is whole
        # Nothing partial is left once the dead worker's encoder has seen its input close.
        deadline = time.monotonic() + 20
        while glob.glob(os.path.join(self.dir, "out", "*.part")) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(glob.glob(os.path.join(self.dir, "out", "*.part")), [])

        # A worker opens each bundle once and renders every later clip on it with the same stream.
        opened = {}
        for o in by_out.values():
            opened[(o.pid, o.job.bundle)] = opened.get((o.pid, o.job.bundle), 0) + o.opened
        self.assertTrue(all(n <= 1 for n in opened.values()), opened)
        self.assertLessEqual(sum(opened.values()), 4)

        # Each output's video stream is the one `ka speak` writes for the same inputs.
        for o in by_out.values():
            ref = o.job.output + ".speak.mp4"
            subprocess.run([KA, "speak", o.job.bundle, o.job.audio, "--w2v", o.job.w2v, "--out", ref, "--skip",
                            str(o.job.skip), "--threads", "1"], check=True, capture_output=True)
            got = video_stream(o.job.output)
            self.assertGreater(len(got), 1000)
            self.assertEqual(got, video_stream(ref), o.job.output)
            self.assertAlmostEqual(o.video_seconds, o.frames / 25)
            os.unlink(ref)

        # A rerun through the command line skips every finished clip and reports the broken one.
        stamps = {p: os.stat(p).st_mtime_ns for p in by_out}
        r = subprocess.run([sys.executable, "-m", "ka_core.batch", self.jobs_file, "--scheduler", self.address,
                            "--retries", "0", "--ka", KA], capture_output=True, text=True, timeout=300)
        self.assertEqual(r.returncode, 1, r.stderr[-2000:])
        self.assertIn("8 clips: 0 rendered, 7 skipped, 1 failed", r.stdout)
        self.assertRegex(r.stdout, r"broken\.mp4 +FAILED: ka encode: .*broken\.wav")
        self.assertEqual(stamps, {p: os.stat(p).st_mtime_ns for p in by_out})


if __name__ == "__main__":
    unittest.main()
