"""What one visitor's stream carries: the pictures (H.264 when the page decodes it, JPEG otherwise)
and, with each speech frame that is meant to be heard, its 40 ms of the utterance's audio."""
from __future__ import annotations

import asyncio
import io
import json
import struct
import time
from collections import deque
from fractions import Fraction
from typing import Callable, Deque, Optional, Tuple

import numpy as np
from PIL import Image

FPS = 25
RATE = 16000
FRAME_SAMPLES = RATE // FPS  # 640: the audio behind one frame
KEY_INTERVAL = 100           # frames: a key frame at least every 4 s
H264_MAXRATE_KBIT = 1800     # cap of the picture stream; the audio adds 256 kbit/s while it plays
H264_CRF = 24


def jpeg(rgb: np.ndarray, quality: int) -> bytes:
    buf = io.BytesIO()
    Image.fromarray(rgb, "RGB").save(buf, "JPEG", quality=quality)
    return buf.getvalue()


def frame_message(record: dict, video: bytes, audio: Optional[np.ndarray] = None) -> bytes:
    """One downstream frame: a 4-byte little-endian length, the JSON record, the picture
    ("video_bytes" long), then the frame's audio as 16 kHz int16 ("audio" samples), if any."""
    record["video_bytes"] = len(video)
    pcm = b""
    if audio is not None and audio.size:
        pcm = audio.astype("<i2").tobytes()
        record["audio"] = int(audio.size)
    head = json.dumps(record, separators=(",", ":")).encode()
    return struct.pack("<I", len(head)) + head + video + pcm


def have_h264() -> bool:
    try:
        import av
        av.codec.Codec("libx264", "w")
        return True
    except Exception:  # PyAV missing, or an FFmpeg without libx264
        return False


def avc_codec_string(annexb: bytes) -> Optional[str]:
    """The "avc1.PPCCLL" codec name a decoder needs, read from the stream's sequence parameter set."""
    at = 0
    while True:
        at = annexb.find(b"\x00\x00\x01", at)
        if at < 0 or at + 6 > len(annexb):
            return None
        if annexb[at + 3] & 0x1F == 7:
            p, c, lvl = annexb[at + 4:at + 7]
            return f"avc1.{p:02x}{c:02x}{lvl:02x}"
        at += 3


class H264Encoder:
    """Low-latency H.264 (libx264 through PyAV): no B-frames, no look-ahead, one frame in, one
    Annex B access unit out; a key frame on request and at least every KEY_INTERVAL frames. The
    sequence signals BT.601 colour, the matrix of the RGB to YUV conversion used here."""

    def __init__(self, width: int, height: int):
        import av
        if width % 2 or height % 2:
            raise ValueError(f"H.264 wants an even frame size, not {width}x{height}")
        self._av = av
        ctx = av.CodecContext.create("libx264", "w")
        ctx.width, ctx.height, ctx.pix_fmt = width, height, "yuv420p"
        ctx.time_base = Fraction(1, FPS)
        ctx.framerate = Fraction(FPS, 1)
        ctx.options = {
            "preset": "ultrafast", "tune": "zerolatency", "forced-idr": "1",
            "x264-params": f"crf={H264_CRF}:keyint={KEY_INTERVAL}:min-keyint={KEY_INTERVAL}:scenecut=0:"
                           f"vbv-maxrate={H264_MAXRATE_KBIT}:vbv-bufsize={H264_MAXRATE_KBIT // 3}:"
                           "colorprim=smpte170m:transfer=smpte170m:colormatrix=smpte170m:"
                           # one thread: steadier under load than sliced threads, and a core stays
                           # with the session's renderer
                           "threads=1"}
        self._ctx = ctx
        self._pts = 0
        self.codec: Optional[str] = None

    def encode(self, rgb: np.ndarray, key: bool) -> Tuple[bytes, bool]:
        av = self._av
        frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(rgb), format="rgb24").reformat(format="yuv420p")
        frame.pts = self._pts
        self._pts += 1
        if key:
            frame.pict_type = av.video.frame.PictureType.I
        packets = self._ctx.encode(frame)
        data = b"".join(bytes(p) for p in packets)
        is_key = any(p.is_keyframe for p in packets)
        if is_key and self.codec is None:
            self.codec = avc_codec_string(data)
        return data, is_key


class Pictures:
    """Encodes one visitor's frames: JPEG until the page asks for H.264 (and this server has it)."""

    def __init__(self, width: int, height: int, quality: int):
        self.width, self.height, self.quality = width, height, quality
        self.codec = "jpeg"
        self._h264: Optional[H264Encoder] = None
        self._restart = False

    def use(self, codec: str) -> None:
        if codec == "jpeg":
            self.codec = codec
        elif codec == "h264":
            if not have_h264():
                raise ValueError("H.264 is not available on this server (PyAV with libx264 is missing): "
                                 "frames stay JPEG")
            if self._h264 is None:
                self._h264 = H264Encoder(self.width, self.height)
            self._restart = True  # a decoder starting (or starting over) now needs a key frame
            self.codec = codec
        else:
            raise ValueError(f"unknown picture codec {codec[:40]!r}: want \"h264\" or \"jpeg\"")

    def encode(self, rgb: np.ndarray, key: bool) -> Tuple[bytes, dict]:
        """The picture and the record fields that describe it; runs on a worker thread."""
        t = time.perf_counter()
        if self.codec == "h264" and self._h264 is not None:
            data, is_key = self._h264.encode(rgb, key or self._restart)
            self._restart = False
            fields = {"codec": "h264", "key": is_key}
            if is_key:
                fields["avc"] = self._h264.codec
        else:
            data, fields = jpeg(rgb, self.quality), {"codec": "jpeg", "key": True}
        fields["encode_ms"] = round((time.perf_counter() - t) * 1000.0, 2)
        return data, fields


class _Track:
    __slots__ = ("start", "n", "play", "pcm", "trimmed")

    def __init__(self, start: int, play: bool):
        self.start, self.n, self.play = start, 0, play  # place in the pushed stream, samples, heard
        self.pcm = bytearray()  # int16 from sample `trimmed` of the track on; kept only when heard
        self.trimmed = 0


class Tracks:
    """The audio pushed into a session, as one stream split into tracks (a track: what was pushed
    between two ends), so each speech frame finds its 40 ms: speech frame k of an utterance is
    samples [640 k, 640 (k + 1)) of the stream from the utterance's start on, up to the end of
    the track. An utterance starts
    at the first track the frames have not reached yet, or, when the session began anew inside a
    track (a pause in the pushes), where the last frame left off. Only tracks marked for playback
    keep their samples (the microphone's echo would be no use to its speaker), and samples behind
    the frames are let go."""

    MAX_TRACKS = 64

    def __init__(self) -> None:
        self._q: Deque[_Track] = deque()
        self._open = self._next_play = False
        self._total = 0   # samples pushed so far
        self._utt = 0     # stream position of the current utterance's first sample
        self._last = -1   # stream position of the last speech frame's first sample

    def play_next(self) -> None:
        """The audio pushed from now until the next end is heard on the page."""
        if self._open and self._q[-1].n == 0:
            self._q[-1].play = True
        else:
            self.end()
            self._next_play = True

    def pushed(self, samples: np.ndarray) -> None:
        if not self._open:
            self._q.append(_Track(self._total, self._next_play))
            self._open, self._next_play = True, False
            if len(self._q) > self.MAX_TRACKS:  # tracks no frame ever reached (a session that never spoke)
                self._q.popleft()
        t = self._q[-1]
        t.n += samples.size
        self._total += samples.size
        if t.play:
            t.pcm += samples.astype("<i2").tobytes()

    def end(self) -> None:
        self._open = self._next_play = False

    def clear(self) -> None:
        """An interrupt: the session drops the audio not yet spoken; the next push starts afresh."""
        self._q.clear()
        self._open = self._next_play = False
        self._last = self._total - 1

    def audio_for(self, speech_frame: int) -> Optional[np.ndarray]:
        """The 40 ms behind speech frame `speech_frame` (-1: not a speech frame) when it is heard."""
        if speech_frame < 0:
            return None
        if speech_frame == 0:
            fresh = next((t.start for t in self._q if t.start > self._last), None)
            self._utt = fresh if fresh is not None else min(self._last + FRAME_SAMPLES, self._total)
        a = self._utt + speech_frame * FRAME_SAMPLES
        b = a + FRAME_SAMPLES
        self._last = a
        while self._q and self._q[0].start + self._q[0].n <= a and (len(self._q) > 1 or not self._open):
            self._q.popleft()
        # The track holding the frame's first sample; a frame never reaches into the next track (a
        # new utterance's audio, unless the session ran the two together: then the head is lost).
        t = next((t for t in self._q if t.start <= a < t.start + t.n), None)
        if t is None or not t.play:
            return None
        cut = a - t.start - t.trimmed
        if cut > 0:  # earlier frames' samples are not needed again
            del t.pcm[:2 * cut]
            t.trimmed += cut
        return np.frombuffer(bytes(t.pcm[:2 * (min(b, t.start + t.n) - a)]), "<i2")


async def feed(push: Callable[[np.ndarray], None], pcm: np.ndarray, chunk: int = 320) -> None:
    """Pushes `pcm` at real-time pace, one `chunk` per chunk duration, against the clock so the
    pace does not drift; the session renders it as it would a microphone's."""
    period = chunk / RATE
    begun = time.monotonic()
    for i, at in enumerate(range(0, pcm.size, chunk)):
        push(pcm[at:at + chunk])
        await asyncio.sleep(max(0.0, begun + (i + 1) * period - time.monotonic()))
