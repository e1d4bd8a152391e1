"""Video members: background JPEG directories, H.264 driver videos and HEVC 4:4:4 warp priors.

Every writer pipes raw frames into the `ffmpeg` CLI with single-threaded, bit-exact encoder
settings, so the same arrays always give the same files. Besides the three writers used by the
bundle forge, the module registers commands for the driver tests and benchmarks: synthetic videos
of any size and pixel format, other containers, and damaged copies of a member.
"""
import os
import shutil
import subprocess

import numpy as np

FFMPEG = shutil.which("ffmpeg") or "/usr/bin/ffmpeg"

# Flags that keep encoder version strings and timestamps out of the output.
_BITEXACT = ["-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact"]


def _run(args, stdin_bytes):
    cmd = [FFMPEG, "-hide_banner", "-loglevel", "error", "-y"] + args
    proc = subprocess.run(cmd, input=stdin_bytes, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("ffmpeg failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd),
                                                           proc.stderr.decode(errors="replace")))


def _check_rgb(frames):
    frames = np.ascontiguousarray(frames)
    if frames.dtype != np.uint8 or frames.ndim != 4 or frames.shape[3] != 3:
        raise ValueError("frames must be uint8 (N, H, W, 3), got %s %s" % (frames.dtype, frames.shape))
    if frames.shape[0] < 1:
        raise ValueError("no frames")
    return frames


def _raw_input(pix_fmt, width, height, fps):
    return ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", "%dx%d" % (width, height),
            "-r", str(fps), "-i", "-"]


def write_jpeg_dir(dirpath, frames, quality=2):
    """frames uint8 (N, H, W, 3) RGB -> dirpath/frame_000000.jpg ... (one file per frame)."""
    frames = _check_rgb(frames)
    n, h, w, _ = frames.shape
    os.makedirs(dirpath, exist_ok=True)
    _run(_raw_input("rgb24", w, h, 25) + ["-c:v", "mjpeg", "-q:v", str(quality),
                                          "-pix_fmt", "yuvj444p", "-start_number", "0"] +
         _BITEXACT + ["-f", "image2", os.path.join(dirpath, "frame_%06d.jpg")],
         frames.tobytes())


def _x264_args(pix_fmt, gop, preset):
    # No B-frames and a closed, regular GOP: the container holds exactly one sample per frame and
    # decode order equals display order.
    return ["-c:v", "libx264", "-preset", preset, "-pix_fmt", pix_fmt, "-bf", "0", "-g", str(gop),
            "-threads", "1", "-x264-params", "sliced-threads=0:lookahead-threads=1"]


def write_h264_mp4(path, frames, fps=25, pix_fmt="yuv420p", crf=18, gop=50, preset="veryfast",
                   container="mp4", faststart=False):
    """frames uint8 (N, H, W, 3) RGB -> H.264 video (yuv420p MP4 by default), one sample per frame.

    `container` "mkv" writes Matroska instead, whose stream declares no frame count. `faststart`
    puts the MP4 index before the samples (so a truncated copy still opens).
    """
    frames = _check_rgb(frames)
    n, h, w, _ = frames.shape
    fmt = {"mp4": "mp4", "mkv": "matroska", "mov": "mov"}[container]
    mux = ["-movflags", "+faststart"] if faststart and container != "mkv" else []
    _run(_raw_input("rgb24", w, h, fps) + _x264_args(pix_fmt, gop, preset) +
         ["-crf", str(crf)] + _BITEXACT + mux + ["-f", fmt, path], frames.tobytes())


def rgb_to_yuv444_bt601(rgb):
    """uint8 RGB (..., 3) -> limited-range BT.601 Y, U, V (uint8 each), rounded to nearest."""
    r, g, b = [rgb[..., k].astype(np.float64) for k in range(3)]
    y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0
    u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0
    v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0
    return [np.clip(np.rint(c), 0, 255).astype(np.uint8) for c in (y, u, v)]


def write_prior_hevc(path, prior, lossless=True, pix_fmt="yuv444p", crf=12):
    """prior float32 (N, S, S, 3) in [0, 1] -> HEVC yuv444p .mov warp-prior member.

    Values are rounded to bytes, taken to limited-range BT.601 YUV here (the decoder inverts that
    mapping), and encoded losslessly (all intra) by default so the decoded samples are the ones
    written; `lossless=False` gives an ordinary inter-coded member.
    `pix_fmt` "yuv420p" writes a subsampled prior (which the reader must refuse).
    """
    prior = np.asarray(prior, dtype=np.float32)
    if prior.ndim != 4 or prior.shape[3] != 3 or prior.shape[1] != prior.shape[2]:
        raise ValueError("prior must be float32 (N, S, S, 3), got %s" % (prior.shape,))
    n, s, _, _ = prior.shape
    rgb = np.clip(np.rint(prior * 255.0), 0, 255).astype(np.uint8)
    y, u, v = rgb_to_yuv444_bt601(rgb)
    raw = np.stack([y, u, v], axis=1)  # (N, 3, S, S): planar yuv444p
    params = "pools=none:frame-threads=1:bframes=0:log-level=error"
    if lossless and pix_fmt == "yuv444p":
        # Intra only: with inter prediction near the picture edge, x265's "lossless" output and
        # libavcodec's decode of it can disagree in a few samples.
        params += ":lossless=1:keyint=1"
    enc = ["-c:v", "libx265", "-preset", "medium", "-pix_fmt", pix_fmt, "-bf", "0",
           "-x265-params", params]
    if not (lossless and pix_fmt == "yuv444p"):
        enc += ["-crf", str(crf)]
    _run(_raw_input("yuv444p", s, s, 25) + enc + _BITEXACT + ["-f", "mov", path],
         np.ascontiguousarray(raw).tobytes())


def synthetic_frames(n, width, height, seed=0):
    """Deterministic RGB frames that differ from each other everywhere: moving gradients, a
    travelling block and mild noise (so every frame index is recognisable after decoding)."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    out = np.empty((n, height, width, 3), dtype=np.uint8)
    noise = rng.integers(-6, 7, size=(height, width, 3), dtype=np.int16)
    for k in range(n):
        r = (xx * 255.0 / max(1, width - 1) + 7 * k) % 256
        g = (yy * 255.0 / max(1, height - 1) + 13 * k) % 256
        b = ((xx + yy) * 0.5 + 29 * k) % 256
        f = np.stack([r, g, b], axis=-1).astype(np.int16) + noise
        bs = max(2, min(width, height) // 6)
        x0 = (k * 17) % max(1, width - bs)
        y0 = (k * 11) % max(1, height - bs)
        f[y0:y0 + bs, x0:x0 + bs] = [(40 * k) % 256, 255 - (40 * k) % 256, 128]
        out[k] = np.clip(f, 0, 255).astype(np.uint8)
    return out


def synthetic_prior(n, side, seed=0):
    """Deterministic float prior frames in [0, 1], including exact black and white pixels."""
    rgb = synthetic_frames(n, side, side, seed).astype(np.float32) / 255.0
    rgb[:, 0, 0, :] = 0.0
    rgb[:, 0, 1, :] = 1.0
    return rgb


def damage(src, dst, mode, keep=0.5, seed=0):
    """Copies a member and damages it: "truncate" keeps the first `keep` fraction of the bytes;
    "garble" overwrites the second half with seeded random bytes, leaving the header intact."""
    data = bytearray(open(src, "rb").read())
    if mode == "truncate":
        data = data[:max(1, int(len(data) * keep))]
    elif mode == "garble":
        rng = np.random.default_rng(seed)
        start = len(data) // 2
        data[start:] = rng.integers(0, 256, size=len(data) - start, dtype=np.uint8).tobytes()
    else:
        raise ValueError("unknown damage mode " + mode)
    with open(dst, "wb") as f:
        f.write(bytes(data))


def _cmd_h264(a):
    frames = synthetic_frames(a.frames, a.width, a.height, a.seed)
    write_h264_mp4(a.out, frames, fps=a.fps, pix_fmt=a.pix_fmt, crf=a.crf, gop=a.gop,
                   preset=a.preset, container=a.container, faststart=a.faststart)


def _cmd_jpeg_dir(a):
    write_jpeg_dir(a.out, synthetic_frames(a.frames, a.width, a.height, a.seed))


def _cmd_prior(a):
    write_prior_hevc(a.out, synthetic_prior(a.frames, a.side, a.seed), lossless=not a.lossy,
                     pix_fmt=a.pix_fmt)


def _cmd_damage(a):
    damage(a.src, a.out, a.mode, keep=a.keep, seed=a.seed)


def register(sub):
    p = sub.add_parser("video-h264", help="synthetic H.264 driver video")
    p.add_argument("out")
    p.add_argument("--frames", type=int, default=8)
    p.add_argument("--width", type=int, default=64)
    p.add_argument("--height", type=int, default=48)
    p.add_argument("--fps", type=int, default=25)
    p.add_argument("--pix-fmt", default="yuv420p")
    p.add_argument("--crf", type=int, default=18)
    p.add_argument("--gop", type=int, default=50)
    p.add_argument("--preset", default="veryfast")
    p.add_argument("--container", choices=["mp4", "mkv", "mov"], default="mp4")
    p.add_argument("--faststart", action="store_true")
    p.add_argument("--seed", type=int, default=0)
    p.set_defaults(func=_cmd_h264)

    p = sub.add_parser("video-jpeg-dir", help="synthetic background JPEG directory")
    p.add_argument("out")
    p.add_argument("--frames", type=int, default=8)
    p.add_argument("--width", type=int, default=64)
    p.add_argument("--height", type=int, default=48)
    p.add_argument("--seed", type=int, default=0)
    p.set_defaults(func=_cmd_jpeg_dir)

    p = sub.add_parser("video-prior", help="synthetic HEVC 4:4:4 warp-prior member")
    p.add_argument("out")
    p.add_argument("--frames", type=int, default=6)
    p.add_argument("--side", type=int, default=32)
    p.add_argument("--pix-fmt", default="yuv444p")
    p.add_argument("--lossy", action="store_true")
    p.add_argument("--seed", type=int, default=0)
    p.set_defaults(func=_cmd_prior)

    p = sub.add_parser("video-damage", help="truncated or garbled copy of a member")
    p.add_argument("src")
    p.add_argument("out")
    p.add_argument("--mode", choices=["truncate", "garble"], default="truncate")
    p.add_argument("--keep", type=float, default=0.5)
    p.add_argument("--seed", type=int, default=0)
    p.set_defaults(func=_cmd_damage)
