"""The audio engines through Python against the same calls made from C: same bytes, the families'
error texts as KaError, bad arguments refused in Python, handles freed."""
import os
import unittest

import numpy as np

import ka_core
from support import AgainstC, forge, speech_like

CHUNK = 3200  # as the C side pushes


def stream(engine, pcm):
    parts = []
    for at in range(0, pcm.size, CHUNK):
        engine.push(pcm[at:at + CHUNK])
        parts.append(engine.drain())
    engine.finish()
    parts.append(engine.drain())
    return ka_core.Frames(*(np.concatenate(col) for col in zip(*(p[:3] for p in parts))))


class AudioBinding(AgainstC):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bundle, cls.w2v_dir, cls.motion = cls.path("b"), cls.path("w"), cls.path("m")
        os.mkdir(cls.bundle)
        forge("a2x", cls.bundle, cls.w2v_dir, "--legacy-only")
        forge("motion", cls.motion, "--nt", "12")
        cls.w2v = os.path.join(cls.w2v_dir, "w2v.onnx")
        os.environ["W2V_ONNX"] = cls.w2v
        cls.pcm = speech_like()
        cls.pcm.tofile(cls.path("pcm.f32"))
        cls.run_reference("KA_PYTHON_AUDIO_REFERENCE", cls.bundle, cls.w2v, cls.motion, cls.path("pcm.f32"))

    def assert_frames_match(self, frames, prefix):
        self.assertEqual((frames.index.dtype, frames.base.shape[1:], frames.drive.dtype), (np.intc, (63,), np.float32))
        self.assertEqual(len(frames.index), (self.pcm.size + 639) // 640)
        self.assertEqual(frames.index.tobytes(), self.c_bytes(prefix + "_index.i32"))
        self.assertEqual(frames.base.tobytes(), self.c_bytes(prefix + "_base.f32"))
        self.assertEqual(frames.drive.tobytes(), self.c_bytes(prefix + "_drive.f32"))

    def test_same_bytes_as_the_c_calls(self):
        with ka_core.A2x(self.bundle, threads=1) as s:
            self.assertEqual((s.nt, s.has_width, s.total), (50, False, None))
            self.assert_frames_match(stream(s, self.pcm), "a2x")
            self.assertEqual(s.total, (self.pcm.size + 639) // 640)
            self.assertEqual(s.deltas(self.pcm).tobytes(), self.c_bytes("a2x_deltas.f32"))
        with ka_core.Fca(self.w2v, os.path.join(self.bundle, "fca_stream.onnx"), threads=1) as f:
            deltas = f.deltas(self.pcm)
            self.assertEqual(deltas.shape, ((self.pcm.size + 639) // 640, 63))
            self.assertEqual(deltas.tobytes(), self.c_bytes("fca_deltas.f32"))
            # int16 audio is taken as sample / 32768.
            pcm16 = (self.pcm * 20000).astype(np.int16)
            np.testing.assert_array_equal(f.deltas(pcm16), f.deltas(pcm16.astype(np.float32) / np.float32(32768)))
            self.assertEqual(f.deltas(np.zeros(0, np.float32)).shape, (0, 63))
        with ka_core.Motion(self.motion, threads=1) as m:
            self.assertEqual(m.nt, 12)
            self.assert_frames_match(stream(m, self.pcm), "motion")
            self.assertEqual(m.reset(3, -1, False), -1)
            self.assertEqual(m.total, None)

    def test_failures_carry_the_last_error_text(self):
        nowhere = os.path.join(self.tmp.name, "nowhere")
        for make, entry in ((lambda: ka_core.A2x(nowhere), "ka_a2x_create"),
                            (lambda: ka_core.Motion(nowhere), "ka_motion_create"),
                            (lambda: ka_core.Fca(nowhere, nowhere), "ka_fca_create")):
            with self.assertRaisesRegex(ka_core.KaError, f"^{entry}: .*nowhere"):
                make()
        with ka_core.A2x(self.bundle, threads=1) as s:
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_a2x_deltas_wn: encoder declares no wn output$"):
                s.deltas_wn(self.pcm)
        with ka_core.Motion(self.motion, threads=1) as m:
            m.finish()
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_motion_push: bad args / already finished$"):
                m.push(self.pcm[:640])
        del os.environ["W2V_ONNX"]
        try:
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_a2x_preload_w2v: no path and \$W2V_ONNX unset$"):
                ka_core.preload_w2v()
        finally:
            os.environ["W2V_ONNX"] = self.w2v

    def test_any_numeric_array_like_is_taken(self):
        # Floats are samples in [-1, 1] whatever their width or layout; integers are 16-bit PCM.
        with ka_core.Fca(self.w2v, os.path.join(self.bundle, "fca_stream.onnx"), threads=1) as f:
            clip = self.pcm[:6400]
            want = f.deltas(clip)
            strided = np.repeat(clip, 2)[::2]
            self.assertFalse(strided.flags["C_CONTIGUOUS"])
            for given in (clip.astype(np.float64), clip.tolist(), strided):
                np.testing.assert_array_equal(f.deltas(given), want)
            pcm16 = (clip * 20000).astype(np.int16)
            want16 = f.deltas(pcm16)
            for given in (pcm16.astype(np.int64), pcm16.tolist(), np.repeat(pcm16, 2)[::2]):
                np.testing.assert_array_equal(f.deltas(given), want16)

    def test_bad_arguments_are_refused_before_the_library(self):
        with ka_core.Motion(self.motion, threads=1) as m:
            cases = [
                (TypeError, "samples: expected numbers .*got dtype <U", lambda: m.push(["0.0", "0.1"])),
                (TypeError, "samples: expected numbers .*got dtype bool", lambda: m.push(np.ones(640, bool))),
                (TypeError, "samples: expected numbers .*got dtype complex", lambda: m.push(np.ones(640, complex))),
                (TypeError, "samples: expected numbers .*got dtype object", lambda: m.push([0.0, None])),
                (ValueError, r"samples: expected shape \(-1,\), got \(2, 640\)", lambda: m.push(np.zeros((2, 640), np.float32))),
                (ValueError, r"samples: expected shape \(-1,\), got \(\)", lambda: m.push(0.5)),
                (ValueError, "samples: integer samples are 16-bit PCM", lambda: m.push(np.array([0, 40000]))),
                (ValueError, "n must be >= 0", lambda: m.pull(-1)),
            ]
            for kind, text, call in cases:
                with self.assertRaisesRegex(kind, text):
                    call()
            m.finish()
            self.assertEqual(m.total, 0)  # nothing reached the engine

    def test_handles_are_freed(self):
        self.assert_freed(ka_core.A2x, lambda: ka_core.A2x(self.bundle, threads=1))
        self.assert_freed(ka_core.Motion, lambda: ka_core.Motion(self.motion, threads=1))
        self.assert_freed(ka_core.Fca, lambda: ka_core.Fca(self.w2v, os.path.join(self.bundle, "fca_stream.onnx"), 1))


if __name__ == "__main__":
    unittest.main()
