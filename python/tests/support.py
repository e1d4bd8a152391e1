"""What the binding tests share: the fixture forge, a scratch directory per test class, and the
bytes the C reference program wrote for the same calls."""
import os
import subprocess
import sys
import tempfile
import unittest

FORGE = os.environ.get("KA_FORGE", os.path.join(os.path.dirname(__file__), "../../tools/forge/forge.py"))


def forge(*args):
    subprocess.run([sys.executable, FORGE, *args], check=True, stdout=subprocess.DEVNULL)


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
