"""Text to speech for `ka serve`: runs a command that writes a WAV file and returns the speech as
16 kHz mono int16, the rate of the sessions. The command runs without a shell, from an argument
list: "{wav}" becomes the path it must write, "{text}" one argument holding the text; a command
without "{text}" gets the text on its standard input."""
from __future__ import annotations

import math
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import wave

import numpy as np

from .media import RATE

DEFAULT_COMMAND = "espeak-ng --stdin -w {wav}"
MAX_TEXT_CHARS = 500
MAX_SPEECH_S = 60.0
TIMEOUT_S = 30.0
_PLACEHOLDER = re.compile(r"\{(text|wav)\}")
_CONTROL = re.compile(r"[\x00-\x1f\x7f]+")


class TtsError(ValueError):
    """Text that cannot be spoken, or a command that failed; the text says which."""


def clean_text(text: object) -> str:
    if not isinstance(text, str):
        raise TtsError(f"say: \"text\" must be a string, not {type(text).__name__}")
    text = _CONTROL.sub(" ", text).strip()
    if not text:
        raise TtsError("say: the text is empty")
    if len(text) > MAX_TEXT_CHARS:
        raise TtsError(f"say: the text has {len(text)} characters, at most {MAX_TEXT_CHARS} are spoken at once")
    return text


def resample(x: np.ndarray, rate: int, to: int = RATE) -> np.ndarray:
    """Band-limited resampling of float samples (through the spectrum, zero-padded so the ends do
    not wrap into each other)."""
    if rate == to or x.size == 0:
        return x.astype(np.float64)
    q = rate // math.gcd(rate, to)  # a length of q input samples is a whole number of output samples
    pad = -(-256 // q) * q           # so the padding and the whole span fall on output samples too
    n = -(-(x.size + 2 * pad) // q) * q
    m = n * to // rate
    spectrum = np.fft.rfft(np.pad(x.astype(np.float64), (pad, n - x.size - pad)))
    keep = min(spectrum.size, m // 2 + 1)
    out = np.zeros(m // 2 + 1, complex)
    out[:keep] = spectrum[:keep]
    y = np.fft.irfft(out, m) * (m / n)
    lo = pad * to // rate
    return y[lo:lo + x.size * to // rate]


def read_wav(path: str) -> np.ndarray:
    """A PCM WAV file (8/16/24/32-bit, any rate, any channel count) as 16 kHz mono int16."""
    limit = int(MAX_SPEECH_S * 192000 * 8 * 4) + 4096
    if os.path.getsize(path) > limit:
        raise TtsError(f"the speech file is larger than {limit} bytes")
    try:
        with wave.open(path, "rb") as w:
            ch, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
            if not 1 <= ch <= 8 or width not in (1, 2, 3, 4) or not 8000 <= rate <= 192000:
                raise TtsError(f"unsupported WAV: {ch} channels, {8 * width}-bit, {rate} Hz")
            if w.getnframes() > MAX_SPEECH_S * rate:
                raise TtsError(f"the speech is longer than {MAX_SPEECH_S:.0f} s")
            raw = w.readframes(w.getnframes())
    except (wave.Error, EOFError, RuntimeError) as e:  # RuntimeError: a chunk running past the end
        raise TtsError(f"the speech is not a PCM WAV file: {e}") from None
    n = len(raw) // (width * ch) * ch
    b = np.frombuffer(raw[:n * width], np.uint8).reshape(-1, width)
    if width == 1:
        x = (b[:, 0].astype(np.float64) - 128.0) / 128.0
    else:  # little-endian signed: widen to 32 bits, then scale
        wide = np.zeros((b.shape[0], 4), np.uint8)
        wide[:, 4 - width:] = b
        x = wide.view("<i4")[:, 0].astype(np.float64) / 2.0 ** 31
    x = resample(x.reshape(-1, ch).mean(axis=1), rate)
    return np.clip(np.round(x * 32768.0), -32768, 32767).astype(np.int16)


class Tts:
    def __init__(self, command: str = DEFAULT_COMMAND, timeout_s: float = TIMEOUT_S):
        self.timeout_s = timeout_s
        try:
            self.argv = shlex.split(command)
        except ValueError as e:
            raise ValueError(f"--tts: cannot split {command!r}: {e}") from None
        if not self.argv or not any("{wav}" in a for a in self.argv):
            raise ValueError(f"--tts: the command must name the WAV it writes as {{wav}}: {command!r}")
        self.stdin = not any("{text}" in a for a in self.argv)
        self.program = self.argv[0]

    def available(self) -> bool:
        return shutil.which(self.program) is not None

    def speak(self, text: str) -> np.ndarray:
        """The speech of `text` at 16 kHz mono int16 (blocking: run it on a worker thread)."""
        text = clean_text(text)
        if not self.available():
            raise TtsError(f"text to speech: {self.program} is not installed")
        with tempfile.TemporaryDirectory(prefix="ka-tts-") as d:
            values = {"wav": os.path.join(d, "speech.wav"), "text": text}
            argv = [_PLACEHOLDER.sub(lambda m: values[m.group(1)], a) for a in self.argv]
            try:
                r = subprocess.run(argv, input=text.encode() if self.stdin else None,
                                   stdin=None if self.stdin else subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, timeout=self.timeout_s, check=False)
            except subprocess.TimeoutExpired:
                raise TtsError(f"text to speech: {self.program} took longer than {self.timeout_s:g} s") from None
            if r.returncode != 0:
                why = r.stderr.decode(errors="replace").strip().splitlines()[-1:] or ["no message"]
                raise TtsError(f"text to speech: {self.program} failed (exit {r.returncode}): {why[0][:200]}")
            if not os.path.isfile(values["wav"]):
                raise TtsError(f"text to speech: {self.program} wrote no {values['wav']}")
            return read_wav(values["wav"])
