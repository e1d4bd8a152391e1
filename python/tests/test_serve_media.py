"""`ka serve`'s media path: the audio each speech frame carries, text to speech, resampling, and the
H.264 stream (checked against FFmpeg's own decoder)."""
import io
import json
import os
import struct
import sys
import tempfile
import unittest
import wave

import numpy as np

from ka_core.serve import media
from ka_core.serve.tts import MAX_TEXT_CHARS, Tts, TtsError, read_wav, resample


def tone(freq, rate, seconds, amp=0.5):
    return amp * np.sin(2 * np.pi * freq * np.arange(int(rate * seconds)) / rate)


class TracksTest(unittest.TestCase):
    def test_each_speech_frame_gets_its_own_40_ms(self):
        t = media.Tracks()
        first = np.arange(3000, dtype=np.int16)           # 4.7 frames, played
        second = -np.arange(1500, dtype=np.int16)         # the next utterance, played
        t.play_next()
        for at in range(0, first.size, 320):
            t.pushed(first[at:at + 320])
        t.end()
        t.pushed(np.zeros(700, np.int16))                 # a microphone utterance: not played
        t.end()
        t.play_next()
        t.pushed(second)
        self.assertIsNone(t.audio_for(-1), "an idle frame carries no audio")
        for k in range(5):  # the last frame ends with its track: the next utterance's audio is its own
            np.testing.assert_array_equal(t.audio_for(k), first[640 * k:640 * (k + 1)], f"frame {k}")
        self.assertIsNone(t.audio_for(0), "the microphone's frames are silent")
        self.assertIsNone(t.audio_for(1))
        for k in range(3):
            np.testing.assert_array_equal(t.audio_for(k), second[640 * k:640 * (k + 1)], f"second, frame {k}")

    def test_an_utterance_restarted_inside_a_track_continues_it(self):
        t = media.Tracks()
        t.play_next()
        x = np.arange(640 * 4, dtype=np.int16)
        t.pushed(x)
        np.testing.assert_array_equal(t.audio_for(0), x[:640])
        np.testing.assert_array_equal(t.audio_for(1), x[640:1280])
        np.testing.assert_array_equal(t.audio_for(0), x[1280:1920])  # the session began anew: a pause

    def test_audio_run_on_after_the_microphone_is_heard_from_its_first_whole_frame(self):
        t = media.Tracks()
        t.pushed(np.ones(1000, np.int16))                  # the microphone, not heard
        t.play_next()                                      # a WAV follows at once: one utterance
        wav = np.arange(2000, dtype=np.int16) + 100
        t.pushed(wav)
        self.assertIsNone(t.audio_for(0))
        self.assertIsNone(t.audio_for(1))                  # 640..1279 begins in the microphone's part
        np.testing.assert_array_equal(t.audio_for(2), wav[280:920])
        self.assertEqual(t.audio_for(4).size, 3000 - 4 * 640, "the last frame holds what was pushed")

    def test_clear_forgets_everything(self):
        t = media.Tracks()
        t.play_next()
        t.pushed(np.ones(1280, np.int16))
        t.clear()
        self.assertIsNone(t.audio_for(0))
        t.pushed(np.ones(640, np.int16))                  # after an interrupt: not marked for playback
        self.assertIsNone(t.audio_for(0))

    def test_frame_message_layout(self):
        audio = np.array([1, -2, 32767], np.int16)
        msg = media.frame_message({"seq": 3}, b"PICTURE", audio)
        n = struct.unpack_from("<I", msg)[0]
        rec = json.loads(msg[4:4 + n])
        self.assertEqual((rec["seq"], rec["video_bytes"], rec["audio"]), (3, 7, 3))
        self.assertEqual(msg[4 + n:4 + n + 7], b"PICTURE")
        np.testing.assert_array_equal(np.frombuffer(msg[4 + n + 7:], "<i2"), audio)


class ResampleTest(unittest.TestCase):
    def test_tones_keep_pitch_and_level(self):
        for rate in (22050, 44100, 48000, 8000):
            x = tone(1000, rate, 0.5)
            y = resample(x, rate)
            want = tone(1000, 16000, 0.5)
            self.assertEqual(y.size, want.size)
            mid = slice(400, -400)  # away from the ends
            self.assertLess(np.max(np.abs(y[mid] - want[mid])), 0.01, f"{rate} Hz")

    def test_what_16k_cannot_carry_is_removed_not_folded(self):
        y = resample(tone(11000, 44100, 0.5), 44100)  # would alias to 5 kHz
        self.assertLess(np.sqrt(np.mean(y[400:-400] ** 2)), 0.005)


class WavTest(unittest.TestCase):
    def write(self, path, frames, rate, width, ch):
        with wave.open(path, "wb") as w:
            w.setnchannels(ch)
            w.setsampwidth(width)
            w.setframerate(rate)
            w.writeframes(frames)

    def test_24_bit_stereo_is_mixed_to_mono(self):
        with tempfile.TemporaryDirectory() as d:
            left, right = 0.5, -0.25  # constant channels: the mix is their mean
            one = int(left * 2 ** 23).to_bytes(3, "little", signed=True) + int(right * 2 ** 23).to_bytes(3, "little", signed=True)
            self.write(os.path.join(d, "a.wav"), one * 1600, 16000, 3, 2)
            x = read_wav(os.path.join(d, "a.wav"))
            self.assertEqual(x.size, 1600)
            self.assertTrue(np.all(np.abs(x[100:-100].astype(int) - 4096) <= 1))

    def test_mangled_files_are_read_or_refused_by_name(self):
        """A bounded mutation run over small valid files: each result is audio or a TtsError."""
        rng = np.random.default_rng(23)
        with tempfile.TemporaryDirectory() as d:
            seeds = []
            for i, (rate, width, ch) in enumerate(((22050, 2, 1), (8000, 1, 2), (48000, 3, 1), (16000, 4, 2))):
                path = os.path.join(d, f"seed{i}.wav")
                self.write(path, rng.integers(0, 256, 400 * width * ch, dtype=np.uint8).tobytes(), rate, width, ch)
                seeds.append(open(path, "rb").read())
            path = os.path.join(d, "m.wav")
            for i in range(400):
                b = bytearray(seeds[i % len(seeds)])
                for _ in range(rng.integers(1, 4)):
                    at = int(rng.integers(0, len(b)))
                    if rng.random() < 0.7:
                        b[at] = int(rng.integers(0, 256))
                    else:
                        b = b[:at]
                with open(path, "wb") as f:
                    f.write(b)
                try:
                    x = read_wav(path)
                    self.assertEqual(x.dtype, np.int16)
                except TtsError:
                    pass

    def test_not_a_wav_is_refused(self):
        ok = io.BytesIO()
        self.write(ok, b"\0\0" * 10, 16000, 2, 1)
        ok = ok.getvalue()
        # the second: a chunk whose size runs past the end of the file (found by the mutation run)
        for bad in (b"RIFF....WAVEnope", ok[:12] + b"LIST" + struct.pack("<I", 1000) + b"xx" + ok[12:]):
            with tempfile.NamedTemporaryFile(suffix=".wav") as f:
                f.write(bad)
                f.flush()
                with self.assertRaisesRegex(TtsError, "not a PCM WAV"):
                    read_wav(f.name)


# A stand-in engine: writes a 16 kHz WAV holding the text's characters (one sample each), so the
# test sees exactly what text reached the engine.
FAKE = ("import sys, wave; text = sys.argv[2] if len(sys.argv) > 2 else sys.stdin.read(); "
        "w = wave.open(sys.argv[1], 'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000); "
        "w.writeframes(b''.join(ord(c).to_bytes(2, 'little') for c in text)); w.close()")


class TtsTest(unittest.TestCase):
    def spoken(self, tts, text):
        return "".join(chr(v) for v in tts.speak(text))

    def test_text_reaches_the_engine_as_one_argument_untouched_by_a_shell(self):
        tricky = "-v en; rm -rf / $(id) 'quoted' \"double\" {wav} `x` | y"
        argv = f"{sys.executable} -c \"{FAKE}\" {{wav}} {{text}}"
        self.assertEqual(self.spoken(Tts(argv), tricky), tricky)
        self.assertEqual(self.spoken(Tts(f"{sys.executable} -c \"{FAKE}\" {{wav}}"), tricky), tricky, "on stdin")

    def test_control_characters_and_bounds(self):
        tts = Tts(f"{sys.executable} -c \"{FAKE}\" {{wav}} {{text}}")
        self.assertEqual(self.spoken(tts, "  a\x00b\nc\t "), "a b c")
        for bad, why in (("", "empty"), (" \n ", "empty"), ("x" * (MAX_TEXT_CHARS + 1), "at most"), (5, "string")):
            with self.assertRaisesRegex(TtsError, why):
                tts.speak(bad)

    def test_failing_slow_and_missing_engines(self):
        with self.assertRaisesRegex(TtsError, r"failed \(exit 3\): broken"):
            Tts(f"{sys.executable} -c \"import sys; sys.stderr.write('broken'); sys.exit(3)\" {{wav}}").speak("hi")
        with self.assertRaisesRegex(TtsError, "longer than"):
            Tts(f"{sys.executable} -c \"import time; time.sleep(5)\" {{wav}}", timeout_s=0.3).speak("hi")
        with self.assertRaisesRegex(TtsError, "wrote no"):
            Tts(f"{sys.executable} -c pass {{wav}}").speak("hi")
        with self.assertRaisesRegex(TtsError, "not installed"):
            Tts("no-such-tts-engine {wav}").speak("hi")
        with self.assertRaisesRegex(ValueError, "{wav}"):
            Tts("espeak-ng {text}")


@unittest.skipUnless(media.have_h264(), "PyAV with libx264 is missing")
class H264Test(unittest.TestCase):
    W, H = 320, 240

    def frames(self, n):
        yy, xx = np.mgrid[0:self.H, 0:self.W]
        for i in range(n):  # a soft gradient with a moving bright disc
            img = np.stack([xx * 255 // self.W, yy * 255 // self.H, np.full_like(xx, 90)], -1)
            img[(xx - 40 - 6 * i) ** 2 + (yy - 120) ** 2 < 900] = 240
            yield img.astype(np.uint8)

    def test_ffmpeg_decodes_what_we_send_and_key_frames_stand_alone(self):
        import av
        enc = media.H264Encoder(self.W, self.H)
        sent = [(img, *enc.encode(img, key=(i == 7))) for i, img in enumerate(self.frames(12))]
        self.assertTrue(sent[0][2] and sent[7][2], "first and requested frames are key frames")
        self.assertFalse(any(k for _, _, k in sent[1:7]))
        self.assertEqual(enc.codec, media.avc_codec_string(sent[0][1]))
        self.assertRegex(enc.codec, r"^avc1\.[0-9a-f]{6}$")
        for start in (0, 7):  # a decoder that joins at a key frame decodes everything after it
            dec = av.CodecContext.create("h264", "r")
            dec.thread_count = 1
            for i, (img, data, _) in enumerate(sent[start:], start):
                out = [f.to_ndarray(format="rgb24") for f in dec.decode(av.Packet(data))]
                self.assertEqual(len(out), 1, f"frame {i}: one frame in, one frame out, no delay")
                err = np.mean((out[0].astype(float) - img) ** 2)
                self.assertGreater(10 * np.log10(255 ** 2 / err), 30, f"frame {i} from {start}")

    def test_odd_sizes_are_refused(self):
        with self.assertRaisesRegex(ValueError, "even"):
            media.H264Encoder(321, 240)

    def test_pictures_switch_codecs_on_request(self):
        p = media.Pictures(self.W, self.H, 80)
        img = next(self.frames(1))
        data, fields = p.encode(img, key=False)
        self.assertEqual((fields["codec"], data[:2]), ("jpeg", b"\xff\xd8"))
        p.use("h264")
        data, fields = p.encode(img, key=False)
        self.assertEqual((fields["codec"], fields["key"], fields["avc"]), ("h264", True, p._h264.codec))
        with self.assertRaisesRegex(ValueError, "unknown picture codec"):
            p.use("vp9")


if __name__ == "__main__":
    unittest.main()
