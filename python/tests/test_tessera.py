"""The tessera family and the library's log through Python: the members of a bundle, the teeth pass
and the borrow attached from the bundle alone; refusals in Python before the library; the log
delivered to a Python function or, by default, to the logging module."""
import os
import threading
import unittest

import numpy as np

import ka_core
from ka_core import tessera
from support import AgainstC, forge


class TesseraBinding(AgainstC):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bundle, cls.motion, cls.bare = cls.path("b"), cls.path("b/motion"), cls.path("bare")
        forge("bundle", cls.bundle, "--size", "medium")
        forge("director-into", cls.bundle)
        forge("motion", cls.motion, "--nt", "6", "--xs-target", os.path.join(cls.bundle, "xs_target.bin"))
        forge("tessera", cls.bundle, "--n", "12", "--teeth", "--fit")
        forge("bundle", cls.bare)

    def test_members_and_carriage(self):
        self.assertEqual(tessera.slot_keys(), ["bank_track", "bank_sidecar", "head_weights", "head_config"])
        with tessera.Carriage(self.bundle) as c:
            self.assertTrue(c.complete)
            self.assertEqual(c.missing, [])
            self.assertTrue(c.path("bank_track").endswith(".mp4"))
        with tessera.Carriage(self.bare) as c:
            self.assertFalse(c.complete)
            self.assertEqual(sorted(c.missing), sorted(tessera.slot_keys()))
        with tessera.Members(self.bundle) as m:
            self.assertEqual(m.n_donors, 12)
            self.assertEqual((m.cent.shape, m.aperture.shape, m.stamp.shape), ((12, 2), (12,), (12,)))
            with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
                self.assertEqual((m.stamp[0], m.stamp[1]), (ctx.crop, ctx.crop))
            # Track frame k filled with k: the donor order is a permutation of the track.
            track = np.repeat(np.arange(12, dtype=np.uint8), m.band_h * m.band_w * 3).reshape(12, m.band_h, m.band_w, 3)
            donors = m.reorder(track)
            self.assertEqual(sorted(donors[:, 0, 0, 0].tolist()), list(range(12)))
            with self.assertRaisesRegex(ValueError, "track: expected shape"):
                m.reorder(track[:11])
            with self.assertRaisesRegex(ValueError, "frames: expected shape"):
                m.run(donors, np.zeros((1, 2, 2, 3), np.uint8), np.zeros((1, 2, 2), np.uint8))
        with self.assertRaises(ka_core.KaError):
            tessera.Members(self.bare)

    def test_attach_from_the_bundle(self):
        with ka_core.Context(self.bundle, "b1", threads=1) as ctx, \
                ka_core.Session(ctx, self.motion, threads=1, steady_model="-") as u:
            u.wait_ready()
            with self.assertRaisesRegex(ka_core.KaError, "^ka_utt_tessera_attach_bundle: "):
                tessera.attach(u, self.bare)
            with self.assertRaisesRegex(TypeError, "session: expected a ka_core.Session"):
                tessera.attach(ctx, self.bundle)
            self.assertTrue(tessera.attach(u, self.bundle).startswith("{canvas_w="))

    def test_log_to_a_function_and_to_logging(self):
        got, lock = [], threading.Lock()

        def sink(level, line):
            with lock:
                got.append((level, line))

        ka_core.set_log(sink)
        try:
            with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
                ctx.render_drive_rgba(0)
        finally:
            ka_core.set_log(None)
        self.assertIn((ka_core.log.INFO, "[ka] director ep=cpu (ORT CPU EP)"), got)
        self.assertTrue(all("\n" not in line for _, line in got))
        # The default: the logging module's "ka_core" logger, levels mapped.
        with self.assertLogs("ka_core", level="INFO") as logs:
            with ka_core.Context(self.bundle, "b1", threads=1) as ctx:
                ctx.render_drive_rgba(0)
        self.assertIn("INFO:ka_core:[ka] director ep=cpu (ORT CPU EP)", logs.output)
        with self.assertRaisesRegex(ValueError, "set_log_level: expected"):
            ka_core.set_log_level(7)
        with self.assertRaisesRegex(TypeError, "set_log: expected a callable"):
            ka_core.set_log("stderr")


if __name__ == "__main__":
    unittest.main()
