"""The Python binding against the C interface: the same calls give the same bytes, failures
surface as KaError with the library's text, bad arguments are refused in Python, and handles are
freed by `with`, close() and garbage collection."""
import gc
import os
import unittest

import numpy as np

import ka_core
from support import AgainstC, forge


def keypoints():
    j = np.arange(63, dtype=np.float32)
    return (np.float32(0.01) * j - np.float32(0.3)).reshape(21, 3), np.float32(0.012) * j - np.float32(0.25)


def threads():
    return len(os.listdir("/proc/self/task"))


class Binding(AgainstC):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bundle, cls.prior = cls.path("b"), cls.path("p")
        forge("bundle", cls.bundle, "--background", "jpeg")
        forge("director-into", cls.bundle, "--batch", "1")
        forge("bundle", cls.prior, "--prior", "hevc", "--background", "none")
        cls.run_reference("KA_PYTHON_REFERENCE", cls.bundle, cls.prior)

    def test_same_bytes_as_the_c_calls(self):
        ks, kd = keypoints()
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
            self.assertEqual((ctx.nt, ctx.width, ctx.height, ctx.crop, ctx.drive_frames), (6, 160, 120, 64, 8))
            self.assertEqual(ka_core.host_kp_rows(), 21)
            drive = ctx.render_drive_crop(1)
            self.assertEqual((drive.dtype, drive.shape), (np.float32, (3, 64, 64)))
            self.assertEqual(drive.tobytes(), self.c_bytes("drive_crop_1.f32"))
            kp = ctx.render_kp_crop(2, ks, kd)  # (21, 3) and (63,) both accepted
            self.assertEqual(kp.tobytes(), self.c_bytes("kp_crop_2.f32"))
            pasted = ctx.paste_crop(3, kp)
            self.assertEqual((pasted.dtype, pasted.shape), (np.uint8, (120, 160, 3)))
            self.assertEqual(pasted.tobytes(), self.c_bytes("paste_crop_3.u8"))
            self.assertEqual(ctx.render_drive_rgba(4).tobytes(), self.c_bytes("drive_rgba_4.u8"))
            self.assertEqual(ctx.target_frame(5).tobytes(), self.c_bytes("target_5.u8"))
            # RGBA is the RGB paste with alpha 255.
            rgba = ctx.render_kp_rgba(2, ks, kd)
            np.testing.assert_array_equal(rgba[..., :3], ctx.paste_last(2))
            self.assertTrue((rgba[..., 3] == 255).all())
        with ka_core.Prior(self.prior) as p:
            self.assertEqual((p.side, p.row_bytes), (64, 64 * 64 * 6))
            self.assertTrue(p.backend.startswith("hevc444/libavcodec"))
            self.assertEqual(p.row(3).tobytes(), self.c_bytes("prior_row_3.u16"))
        path, found = ka_core.resolve_member(self.bundle, "M.f32")
        self.assertEqual((path, found), (self.bundle + "/M.f32", True))
        self.assertEqual(ka_core.resolve_member(self.bundle, "P_hevc.mov")[1], False)
        self.assertEqual(ka_core.resolve_bundle(self.bundle), self.bundle)

    def test_failures_carry_the_last_error_text(self):
        nowhere = os.path.join(self.tmp.name, "nowhere")
        with self.assertRaises(ka_core.KaError) as e:
            ka_core.Context(nowhere)
        self.assertEqual(str(e.exception), f"ka_create: cannot open {nowhere}/manifest.json")
        with ka_core.Context(self.bundle, threads=1) as ctx:
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_render_drive_crop: bad frame index$"):
                ctx.render_drive_crop(8)
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_paste_last: bad args / no prior render$"):
                ctx.paste_last(0)
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_target_frame: bad args$"):
                ctx.target_frame(6)
        with self.assertRaisesRegex(ka_core.KaError, r"^ka_prior_open: this bundle carries neither"):
            ka_core.Prior(self.bundle)
        with ka_core.Prior(self.prior) as p:
            with self.assertRaisesRegex(ka_core.KaError, r"^ka_prior_row: ka_driver: seek\(6\) outside \[0,6\)$"):
                p.row(6)

    def test_bad_arguments_are_refused_before_the_library(self):
        ks, kd = keypoints()
        with ka_core.Context(self.bundle, threads=1) as ctx:
            cases = [
                (TypeError, "kp_source: expected dtype float32", lambda: ctx.render_kp_crop(0, ks.astype(np.float64), kd)),
                (TypeError, "kp_driving: expected a numpy array", lambda: ctx.render_kp_crop(0, ks, list(kd))),
                (ValueError, "kp_source: expected shape", lambda: ctx.render_kp_crop(0, ks[:20], kd)),
                (ValueError, "C-contiguous", lambda: ctx.render_kp_crop(0, np.zeros((21, 6), np.float32)[:, ::2], kd)),
                (ValueError, "crop: expected shape", lambda: ctx.paste_crop(0, np.zeros((3, 32, 32), np.float32))),
                (ValueError, "C-contiguous", lambda: ctx.paste_crop(0, np.zeros((3, 64, 64), np.float32).transpose(0, 2, 1))),
            ]
            for kind, text, call in cases:
                with self.assertRaisesRegex(kind, text):
                    call()
        with ka_core.Prior(self.prior) as p:
            with self.assertRaisesRegex(TypeError, "out: expected dtype uint16"):
                p.row_into(0, np.zeros((3, 64, 64), np.float16))

    def test_handles_are_freed(self):
        base = threads()
        with ka_core.Context(self.bundle, threads=1) as ctx:
            self.assertGreater(threads(), base)  # the background cursor's thread
        self.assertTrue(ctx.closed)
        self.assertEqual(threads(), base)
        with self.assertRaisesRegex(ValueError, "Context is closed"):
            ctx.nt
        p = ka_core.Prior(self.prior)
        p.row(0)
        self.assertGreater(threads(), base)
        del p
        gc.collect()
        self.assertEqual(threads(), base)
        ctx = ka_core.Context(self.bundle, threads=1)
        ctx.close()
        ctx.close()  # twice is harmless
        self.assertEqual(threads(), base)


if __name__ == "__main__":
    unittest.main()
