"""Batch job files: what a job line may say, and every way one is refused (with its line number)."""
import json
import os
import tempfile
import unittest

from ka_core.batch import Job, load_jobs
from ka_core.batch.jobs import MAX_LINE_BYTES, MAX_SKIP, MAX_THREADS


class JobFiles(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def load(self, *lines, w2v=None):
        path = os.path.join(self.tmp.name, "jobs.jsonl")
        with open(path, "w") as f:
            f.write("\n".join(line if isinstance(line, str) else json.dumps(line) for line in lines) + "\n")
        return load_jobs(path, w2v)

    def refused(self, pattern, *lines, w2v="w.onnx"):
        with self.assertRaisesRegex(ValueError, pattern):
            self.load(*lines, w2v=w2v)

    def test_a_job_and_its_defaults(self):
        job = {"bundle": "b", "audio": "a.wav", "output": "o.mp4"}
        [j] = self.load("", job, "  ", w2v="w.onnx")
        self.assertEqual(j, Job(os.path.abspath("b"), os.path.abspath("a.wav"), os.path.abspath("o.mp4"),
                                os.path.abspath("w.onnx"), 0, 1.0, 1))
        opts = {"w2v": "x.onnx", "skip": MAX_SKIP, "scale": 0.5, "threads": MAX_THREADS}
        [j] = self.load({**job, "options": opts}, w2v="w.onnx")
        self.assertEqual((j.w2v, j.skip, j.scale, j.threads), (os.path.abspath("x.onnx"), MAX_SKIP, 0.5, MAX_THREADS))

    def test_refusals_name_the_line(self):
        job = {"bundle": "b", "audio": "a.wav", "output": "o.mp4"}
        self.refused(r"jobs.jsonl:2: .*Expecting", job, "{not json")
        self.refused(r":1: a job must be a JSON object", "[1, 2]")
        self.refused(r":1: unknown key\(s\) \['bundel'\]", {**job, "bundel": "b"})
        self.refused(r":1: missing key\(s\) \['output'\]", {"bundle": "b", "audio": "a"})
        self.refused(r":1: unknown option\(s\) \['fps'\]", {**job, "options": {"fps": 30}})
        self.refused(r":1: no speech encoder", job, w2v=None)
        self.refused(r":1: options must be a JSON object", {**job, "options": [1]})
        self.refused(r":1: output must be a non-empty path", {**job, "output": ""})
        self.refused(r":1: bundle must be a non-empty path", {**job, "bundle": 3})
        for bad in (-1, MAX_SKIP + 1, 1.5, True, "2"):
            self.refused(r":1: skip must be", {**job, "options": {"skip": bad}})
        for bad in (-1, MAX_THREADS + 1, 2.0):
            self.refused(r":1: threads must be", {**job, "options": {"threads": bad}})
        for bad in ("NaN", "Infinity", '"1"', "true"):
            self.refused(r":1: scale must be a finite number",
                         json.dumps(job)[:-1] + ', "options": {"scale": ' + bad + "}}")
        self.refused(r"jobs 1 and 3 both write", job, {**job, "output": "p.mp4"}, {**job, "output": "./o.mp4"})
        self.refused(r":2: line longer than", job, {**job, "audio": "a" * MAX_LINE_BYTES})
        self.refused(r"no jobs", "", " ")


if __name__ == "__main__":
    unittest.main()
