"""What the binding tests share: the fixture forge, a scratch directory per test class, and the
bytes the C reference program wrote for the same calls."""
import gc
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

FORGE = os.environ.get("KA_FORGE", os.path.join(os.path.dirname(__file__), "../../tools/forge/forge.py"))


def forge(*args):
    subprocess.run([sys.executable, FORGE, *args], check=True, stdout=subprocess.DEVNULL)


def speech_like(seconds=2.5):
    """Voiced syllables with a pause, deterministic."""
    t = np.arange(int(16000 * seconds)) / 16000.0
    envelope = np.sin(np.pi * (t % 0.25) / 0.25) ** 2 * ((t % 1.6) < 1.2)
    voice = 0.2 * np.sin(2 * np.pi * 140 * t) + 0.1 * np.sin(2 * np.pi * 420 * t)
    return (envelope * voice).astype(np.float32)


class AgainstC(unittest.TestCase):
    """A test class with a scratch directory `tmp` and the C reference's output directory `ref`."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.ref = os.path.join(cls.tmp.name, "ref")
        os.mkdir(cls.ref)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def path(cls, name):
        return os.path.join(cls.tmp.name, name)

    @classmethod
    def run_reference(cls, env_var, *args):
        """Runs the C program $env_var with `args` and the output directory last."""
        subprocess.run([os.environ[env_var], *args, cls.ref], check=True, stderr=subprocess.DEVNULL)

    def c_bytes(self, name):
        with open(os.path.join(self.ref, name), "rb") as f:
            return f.read()

    def assert_freed(self, cls, make):
        """Handles of `cls` made by `make` are destroyed once by leaving a `with` block, by close()
        and by garbage collection, and refuse calls once closed."""
        make().close()  # declares the family
        destroy, freed = cls._destroy, []
        cls._destroy = staticmethod(lambda p: (freed.append(p), destroy(p)))
        try:
            with make() as h:
                first = h.ptr
            h.close()  # twice is harmless
            h = make()
            second = h.ptr
            del h
            gc.collect()
            self.assertEqual(freed, [first, second])
            with self.assertRaisesRegex(ValueError, f"{cls.__name__} is closed"):
                with make() as h:
                    pass
                h.ptr
        finally:
            cls._destroy = destroy
