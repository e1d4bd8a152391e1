"""Both sessions through Python against the same calls made from C: the offline stream's frames
and an utterance session's idle frames byte for byte, a spoken utterance's frame structure, the
families' error texts as KaError, bad arguments refused in Python, session threads joined."""
import gc
import os
import time
import unittest

import numpy as np

import ka_core
from support import AgainstC, forge, speech_like


def threads():
    return len(os.listdir("/proc/self/task"))


def pull_until(session, stop, timeout=60.0):
    frames, end = [], time.monotonic() + timeout
    while not stop(frames) and time.monotonic() < end:
        got = session.pull_frame()
        if got is None:
            time.sleep(0.001)
        else:
            frames.append(got)
    return frames


def idle_after_speech(frames):
    kinds = [info.kind for _, info in frames]
    return ka_core.SPEECH in kinds and kinds[-1] == ka_core.IDLE


class SessionBinding(AgainstC):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bundle, cls.motion = cls.path("b"), cls.path("b/motion")
        forge("bundle", cls.bundle)
        forge("director-into", cls.bundle)
        forge("director-steady", cls.bundle, "--render-key")
        forge("a2x", cls.bundle, cls.path("w"), "--legacy-only")
        forge("motion", cls.motion, "--nt", "6", "--xs-target", os.path.join(cls.bundle, "xs_target.bin"))
        cls.w2v = cls.path("w/w2v.onnx")
        cls.pcm = speech_like(1.3)
        cls.frames = (cls.pcm.size + 639) // 640
        cls.pcm.tofile(cls.path("pcm.f32"))
        cls.run_reference("KA_PYTHON_SESSION_REFERENCE", cls.bundle, cls.w2v, cls.path("pcm.f32"))

    def session(self, ctx, model_dir=None):
        return ka_core.Session(ctx, model_dir or self.motion, threads=1, steady_model="-")

    def test_same_bytes_as_the_c_calls(self):
        with ka_core.Stream(self.bundle, self.w2v, threads=1, skip=1, scale=0.75) as s:
            video = s.frames(self.pcm)
            self.assertEqual(video.shape, (self.frames - 1, s.height, s.width, 3))
            self.assertEqual(video.tobytes(), self.c_bytes("stream_frames.u8"))
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx, self.session(ctx) as u:
            idle = pull_until(u, lambda f: len(f) == 8)
            self.assertEqual(b"".join(rgb.tobytes() for rgb, _ in idle), self.c_bytes("utt_idle.u8"))
            infos = np.array([info for _, info in idle], np.int64)
            self.assertEqual(infos.tobytes(), self.c_bytes("utt_idle_info.i64"))
            # An utterance: every 40 ms of it one speech frame, numbered from 0, then idle again.
            u.wait_ready()
            for at in range(0, self.pcm.size, 320):
                u.push(self.pcm[at:at + 320])  # float32, converted to int16
            u.end_utterance()
            spoken = [info for _, info in pull_until(u, idle_after_speech)]
            speech = [i.speech_frame for i in spoken if i.kind == ka_core.SPEECH]
            self.assertEqual(speech, list(range(self.frames)))
            self.assertEqual([i.seq for i in spoken], list(range(8, 8 + len(spoken))))
            stats = u.stats()
            self.assertEqual((stats.frames_pulled, stats.speech_frames_pulled, stats.utterances),
                             (8 + len(spoken), self.frames, 1))
            self.assertIsNone(u.render_status())
            u.interrupt()

    def test_failures_carry_the_last_error_text(self):
        nowhere = self.path("nowhere")
        with self.assertRaisesRegex(ka_core.KaError, "^ka_stream_create: .*nowhere"):
            ka_core.Stream(nowhere, self.w2v)
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
            u = self.session(ctx, nowhere)
            with self.assertRaisesRegex(ka_core.KaError, "nowhere"):
                u.wait_ready()
            with self.assertRaisesRegex(ka_core.KaError, "^ka_utt_wait_frame: the session failed: .*nowhere"):
                u.wait_frame(1.0)
            stage, message = u.render_status()
            self.assertEqual(stage, "engine load")
            self.assertIn("nowhere", message)
            # The context belongs to the session while it is open; closing it closes the session.
            with self.assertRaisesRegex(ValueError, "Context belongs to a Session while that is open"):
                ctx.render_drive_crop(0)
        self.assertTrue(u.closed)
        with ka_core.Stream(self.bundle, self.w2v, threads=1) as s:
            with self.assertRaises(ZeroDivisionError):  # the callback's own exception
                s.run(self.pcm, lambda n, rgb: 1 / 0)
            self.assertEqual(len(s.frames(self.pcm[:1280])), 2)  # still usable

    def test_waits_and_the_frames_iterator(self):
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx, self.session(ctx) as u:
            u.wait_ready(timeout=60)
            self.assertTrue(u.wait_frame(timeout=10))
            u.push(self.pcm)
            u.end_utterance()
            kinds = []
            for rgb, info in u.frames(timeout=10):
                self.assertEqual(rgb.shape, u.shape)
                kinds.append(info.kind)
                if ka_core.SPEECH in kinds and info.kind == ka_core.IDLE:
                    break
            self.assertEqual(kinds.count(ka_core.SPEECH), self.frames)
            for bad in (-1, float("nan"), float("inf")):
                with self.assertRaisesRegex(ValueError, "timeout: expected a finite number of seconds"):
                    u.wait_frame(bad)

    def test_bad_arguments_are_refused_before_the_library(self):
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx, self.session(ctx) as u:
            cases = [
                (TypeError, "samples: expected numbers", lambda: u.push(np.array(["a"] * 640))),
                (ValueError, "samples: expected shape", lambda: u.push(np.zeros((2, 320), np.int16))),
                (ValueError, "samples: integer samples are 16-bit PCM", lambda: u.push(np.full(640, -40000))),
                (ValueError, r"samples: sample 5 is not finite \(nan\)",
                 lambda: u.push(np.where(np.arange(640) == 5, np.nan, 0.0).astype(np.float32))),
                (ValueError, r"samples: sample 0 is not finite \(-inf\)", lambda: u.push([-np.inf, 0.0])),
                (ValueError, "out: expected shape", lambda: u.pull_frame_into(np.zeros((1, 1, 3), np.uint8))),
                (TypeError, "ctx: expected a ka_core.Context", lambda: ka_core.Session("ctx", self.motion)),
            ]
            for kind, text, call in cases:
                with self.assertRaisesRegex(kind, text):
                    call()
        with ka_core.Stream(self.bundle, self.w2v, threads=1) as s:
            with self.assertRaisesRegex(ValueError, "samples: expected shape"):
                s.run(np.zeros((2, 640), np.float32), lambda n, rgb: None)

    def test_handles_are_freed(self):
        self.assert_freed(ka_core.Stream, lambda: ka_core.Stream(self.bundle, self.w2v, threads=1))

    def test_session_threads_are_joined(self):
        base = threads()
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
            ctx.render_drive_crop(0)  # the context's own threads (cursor, renderer prefetch) start
            with_ctx = threads()
            with self.session(ctx) as u:
                u.wait_ready()
                self.assertGreater(threads(), with_ctx)
            self.assertEqual(threads(), with_ctx)
            u = self.session(ctx)
            u.wait_ready()
            del u
            gc.collect()
            self.assertEqual(threads(), with_ctx)
            ctx.render_drive_crop(1)  # the context is the host's again
        self.assertEqual(threads(), base)


if __name__ == "__main__":
    unittest.main()
