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
    Annex B access unit out; a key frame on request and at least every KEY_INTERVAL frames."""

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
                           "colorprim=smpte170m:transfer=smpte170m:colormatrix=smpte170m"}
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
            self._restart = self.codec != codec  # a decoder starting now needs a key frame
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
    __slots__ = ("play", "pcm", "trimmed", "closed", "started", "base", "last")

    def __init__(self, play: bool):
        self.play = play
        self.pcm = bytearray()  # int16 bytes from sample `trimmed` on; empty for a track not played
        self.trimmed = 0
        self.closed = self.started = False
        self.base = self.last = 0


class Tracks:
    """The audio pushed into a session, split where its utterances begin, so each speech frame
    finds its 40 ms: speech frame k of an utterance is samples [640 k, 640 (k + 1)) of the track
    opened by the utterance's first push. Only tracks marked for playback keep their samples (the
    microphone's echo would be no use to its speaker), and samples behind the frames are let go."""

    def __init__(self) -> None:
        self._q: Deque[_Track] = deque()
        self._next_play = False

    def play_next(self) -> None:
        """The audio pushed from now until the next end plays on the page."""
        if self._q and not self._q[-1].closed and not self._q[-1].pcm and not self._q[-1].started:
            self._q[-1].play = True  # an open track that has no audio yet
        else:
            self.end()
            self._next_play = True

    def pushed(self, samples: np.ndarray) -> None:
        if not self._q or self._q[-1].closed:
            self._q.append(_Track(self._next_play))
            self._next_play = False
            while len(self._q) > 64:  # tracks no frame ever claimed (a session that never spoke)
                self._q.popleft()
        t = self._q[-1]
        if t.play:
            t.pcm += samples.astype("<i2").tobytes()

    def end(self) -> None:
        if self._q:
            self._q[-1].closed = True
        self._next_play = False

    def clear(self) -> None:
        self._q.clear()
        self._next_play = False

    def audio_for(self, speech_frame: int) -> Optional[np.ndarray]:
        """The 40 ms behind speech frame `speech_frame` (-1: not a speech frame) when it plays."""
        if speech_frame < 0 or not self._q:
            return None
        if speech_frame == 0:  # an utterance begins: the oldest track no frame has claimed yet
            if self._q[0].started and len(self._q) > 1:
                self._q.popleft()
            t = self._q[0]
            # No new track: the session began a new utterance inside this one (a pause in the pushes).
            t.base = t.last + 1 if t.started else 0
            t.started = True
        t = self._q[0]
        if not t.started:
            return None
        k = t.base + speech_frame
        t.last = k
        if not t.play:
            return None
        start = k * FRAME_SAMPLES - t.trimmed
        if start < 0:
            return None
        if start:  # earlier frames' samples are not needed again
            del t.pcm[:2 * start]
            t.trimmed += start
        seg = bytes(t.pcm[:2 * FRAME_SAMPLES])
        return np.frombuffer(seg, "<i2") if seg else None


async def feed(push: Callable[[np.ndarray], None], pcm: np.ndarray, chunk: int = 320) -> None:
    """Pushes `pcm` at real-time pace, one `chunk` per chunk duration, against the clock so the
    pace does not drift; the session renders it as it would a microphone's."""
    period = chunk / RATE
    begun = time.monotonic()
    for i, at in enumerate(range(0, pcm.size, chunk)):
        push(pcm[at:at + chunk])
        await asyncio.sleep(max(0.0, begun + (i + 1) * period - time.monotonic()))
