"""The rules `ka serve` holds its visitors to, at their boundaries: the audio budget against a
clock, control messages by size and depth, Host and Origin by name, address and port."""
import json
import os
import random
import time
import unittest

try:
    from ka_core.serve.chatter import LibraryLog
    from ka_core.serve.guard import (MAX_CONTROL_BYTES, MAX_CONTROL_DEPTH, AudioBudget, ControlError, HostRule,
                                     ReadWatch, parse_control)
except ImportError as e:  # the server needs aiohttp and Pillow
    guard_missing = str(e)
else:
    guard_missing = None


class Clock:
    def __init__(self):
        self.t = 100.0

    def __call__(self):
        return self.t


@unittest.skipIf(guard_missing, guard_missing)
class ServeRules(unittest.TestCase):
    def test_audio_budget(self):
        clock = Clock()
        b = AudioBudget(16000, ahead_s=3.0, clock=clock)
        self.assertEqual(b.admit(16000), 16000)
        self.assertEqual(b.admit(16000), 16000)
        self.assertEqual(b.admit(32000), 16000)  # cut at 3 s ahead
        self.assertEqual(b.admit(1), 0)
        clock.t += 0.5  # half a second played: half a second fits again, no more
        self.assertEqual(b.admit(16000), 8000)
        self.assertAlmostEqual(b.queued_s(), 3.0)
        clock.t += 10.0  # long silence: the bucket is empty, never negative
        self.assertEqual(b.queued_s(), 0.0)
        self.assertEqual(b.admit(64000), 48000)
        b.reset()  # an interrupt
        self.assertEqual(b.admit(48000), 48000)
        self.assertEqual(b.refused_samples, 16000 + 1 + 8000 + 16000)
        # real-time pace, 20 ms at a time, for a minute: nothing refused
        clock.t = 0.0
        b = AudioBudget(16000, clock=clock)
        for _ in range(3000):
            self.assertEqual(b.admit(320), 320)
            clock.t += 0.02

    def test_control_messages(self):
        self.assertEqual(parse_control('{"type": "end"}'), {"type": "end"})
        deep = '{"type": "x", "a": ' + "[" * (MAX_CONTROL_DEPTH - 1) + "]" * (MAX_CONTROL_DEPTH - 1) + "}"
        self.assertEqual(parse_control(deep)["type"], "x")
        too_deep = '{"type": "x", "a": ' + "[" * MAX_CONTROL_DEPTH + "]" * MAX_CONTROL_DEPTH + "}"
        with self.assertRaisesRegex(ControlError, "nested deeper than 8"):
            parse_control(too_deep)
        # brackets and escaped quotes inside strings are text, not nesting
        self.assertEqual(parse_control('{"type": "say", "text": "\\"[[[[[[[[[[{{{{{{{{"}')["type"], "say")
        with self.assertRaisesRegex(ControlError, "nested"):  # refused before the parser recurses
            parse_control("[" * 10000 + "]" * 6000)
        edge = '{"type": "say", "text": "' + "x" * (MAX_CONTROL_BYTES - 27) + '"}'
        self.assertEqual(len(edge), MAX_CONTROL_BYTES)
        self.assertEqual(parse_control(edge)["type"], "say")
        with self.assertRaisesRegex(ControlError, "16385 characters"):
            parse_control(edge[:-2] + 'x"}')
        for bad, why in [("{", "not JSON"), ("", "not JSON"), ("[1]", "JSON object"), ("null", "JSON object"),
                         ('{"type": 7}', "string"), ('{"kind": "end"}', "string"), ("NaN", "JSON object")]:
            with self.assertRaisesRegex(ControlError, why, msg=bad):
                parse_control(bad)

    def test_control_messages_fuzzed(self):
        """Random bracket, quote and escape soup and mutated good messages: an answer or ControlError,
        nothing else (no RecursionError), and whatever parses is an object with a string type."""
        rng = random.Random(23)
        seeds = ['{"type": "end"}', '{"type": "say", "text": "a \\"[b]\\" c"}', '{"type": "interrupt", "x": [[{}]]}']
        for _ in range(3000):
            if rng.random() < 0.5:
                text = "".join(rng.choice('[]{}"\\:,1a ') for _ in range(rng.randrange(0, 3000)))
            else:
                text = list(rng.choice(seeds))
                for _ in range(rng.randrange(1, 6)):
                    text.insert(rng.randrange(len(text) + 1), rng.choice('[]{}"\\') * rng.randrange(1, 40))
                text = "".join(text)
            try:
                msg = parse_control(text)
            except ControlError:
                continue
            self.assertIsInstance(msg.get("type"), str, text)
            self.assertEqual(msg, json.loads(text))

    def test_host_and_origin(self):
        rule = HostRule("127.0.0.1", ["https://avatar.example", "http://10.0.0.9:9000/"])
        here = ("127.0.0.1", 8080)
        for host in ["127.0.0.1:8080", "localhost:8080", "LOCALHOST:8080", "avatar.example", "avatar.example:443",
                     "10.0.0.9:9000"]:
            self.assertIsNone(rule.host_refusal(host, *here), host)
        for host in ["evil.example:8080", "127.0.0.1:8081", "127.0.0.2:8080", "127.0.0.1", "", "[::1]:8080",
                     "avatar.example:8080", "127.0.0.1:99999", "localhost.evil.example:8080"]:
            self.assertIsNotNone(rule.host_refusal(host, *here), host)
        # over the machine's LAN address: that address, never "localhost"
        self.assertIsNone(rule.host_refusal("192.168.1.5:8080", "192.168.1.5", 8080))
        self.assertIsNotNone(rule.host_refusal("localhost:8080", "192.168.1.5", 8080))
        self.assertIsNone(rule.host_refusal("[::1]:8080", "::1", 8080))
        self.assertIsNone(rule.host_refusal("192.168.1.5:8080", "::ffff:192.168.1.5", 8080))  # a dual-stack socket
        self.assertIsNone(rule.host_refusal("localhost:8080", "::ffff:127.0.0.1", 8080))
        self.assertIsNone(rule.host_refusal("127.0.0.1", "127.0.0.1", 80))  # port 80 may go unsaid

        self.assertIsNone(rule.origin_refusal(None, *here))  # no browser asked
        for origin in ["http://127.0.0.1:8080", "http://localhost:8080", "https://avatar.example",
                       "https://avatar.example/", "http://10.0.0.9:9000"]:
            self.assertIsNone(rule.origin_refusal(origin, *here), origin)
        for origin in ["http://evil.example:8080", "http://127.0.0.1:8081", "http://6.6.6.6:8080",
                       "https://avatar.example:8443", "http://avatar.example", "null", "file://",
                       "http://localhost:8080/page", "http://127.0.0.1:bad"]:
            self.assertIsNotNone(rule.origin_refusal(origin, *here), origin)
        with self.assertRaisesRegex(ValueError, "--allow-origin 'avatar.example'"):
            HostRule("127.0.0.1", ["avatar.example"])

    def test_library_log(self):
        """The native side's standard error is kept (bounded), not shown; fd 2 comes back on close."""
        before = os.fstat(2)
        log = LibraryLog(keep=50)
        try:
            for i in range(500):
                os.write(2, f"[W:onnxruntime] chatter {i}\n".encode())
            os.write(2, b"last words\n")
            end = time.monotonic() + 5
            while log.tail(1) != ["last words"] and time.monotonic() < end:
                time.sleep(0.01)
            self.assertEqual(log.tail(2), ["[W:onnxruntime] chatter 499", "last words"])
            self.assertEqual(len(log.tail(1000)), 50)
        finally:
            log.close()
        self.assertFalse(log._reader.is_alive())
        after = os.fstat(2)
        self.assertEqual((after.st_dev, after.st_ino), (before.st_dev, before.st_ino))

    def test_read_watch(self):
        clock = Clock()
        w = ReadWatch(10.0, clock=clock)
        clock.t += 10.0
        self.assertFalse(w.expired())
        clock.t += 0.01
        self.assertTrue(w.expired())
        w.pong()
        self.assertFalse(w.expired())


if __name__ == "__main__":
    unittest.main()
