"""The demo bundle: a drawn face on a 1280 x 720 background video that blinks and sways a little,
its warp prior cut from that video through the paste transforms (so a render pasted back lines up
with the face), a driving table that opens and closes the mouth, and the director models.

forge.py demo OUT writes the bundle directory OUT/bundle and its container OUT/avatar.imx (the
container's path is printed).
"""
import json
import os
import shutil

import numpy as np

from . import bundle, director, identity, imx, video

WIDTH, HEIGHT, FPS = 1280, 720, 25
NT = 50
CROP = 256
FRAMES = 100
SCALE = 1.3          # frame pixels per crop pixel
BLINK = (30, 35)     # source frames of the blink (eyes shut in the middle)


def keypoints():
    """The drawn face's 21 keypoints in normalised crop coordinates (the forge's face layout)."""
    kp = np.zeros((21, 3), np.float32)
    ring = np.linspace(0, 2 * np.pi, 13)[:-1]
    kp[:12, 0] = 0.62 * np.cos(ring)
    kp[:12, 1] = 0.80 * np.sin(ring)
    kp[12:14] = [[-0.28, -0.22, 0.1], [0.28, -0.22, 0.1]]
    kp[14] = [0.0, 0.10, 0.25]
    kp[15:19] = [[-0.25, 0.45, 0.1], [0.25, 0.45, 0.1], [0.0, 0.38, 0.12], [0.0, 0.52, 0.12]]
    kp[19:21] = [[-0.30, -0.40, 0.05], [0.30, -0.40, 0.05]]
    return kp


def pose(f, nt=NT):
    """Head pose of source frame f: (centre x, centre y, angle) in frame pixels / radians, periodic in nt."""
    t = 2 * np.pi * f / nt
    return (WIDTH / 2 + 9 * np.sin(t), HEIGHT * 0.46 + 5 * np.sin(2 * t + 0.5), 0.03 * np.sin(t + 1.0))


def paste_transform(f, crop=CROP, nt=NT):
    """M of source frame f: crop pixel index (u, v) -> frame pixel index (x, y)."""
    cx, cy, ang = pose(f, nt)
    c, s = np.cos(ang) * SCALE, np.sin(ang) * SCALE
    c0 = (crop - 1) / 2.0
    return np.array([c, -s, cx - c * c0 + s * c0, s, c, cy - s * c0 - c * c0], np.float64)


def blink(f):
    lo, hi = BLINK
    if not lo <= f <= hi:
        return 0.0
    mid = (lo + hi) / 2.0
    return float(1.0 - abs(f - mid) / (mid - lo + 0.5))


def _cover(d, px):
    """Anti-aliased coverage of a shape with signed distance d (positive inside), px = one pixel."""
    return np.clip(d / px + 0.5, 0.0, 1.0)


def _ellipse_d(x, y, cx, cy, rx, ry):
    r = np.sqrt(((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2)
    return (1.0 - r) * min(rx, ry)


def _over(img, cov, colour):
    cov = cov[..., None]
    img *= 1.0 - cov
    img += cov * np.asarray(colour, np.float64)


def _person(x, y, px, closed):
    """RGB and coverage of the head, neck and hair at normalised crop coordinates (x, y)."""
    h, w = x.shape
    img = np.zeros((h, w, 3))
    cov = np.zeros((h, w))

    def layer(c, colour):
        nonlocal cov
        _over(img, c, colour)
        cov = cov + c * (1.0 - cov)

    skin = np.array([0.86, 0.68, 0.57])
    hair_rgb = (0.22, 0.14, 0.10)
    layer(_cover(0.22 - np.abs(x), px) * _cover(y - 0.2, px), skin * 0.85)  # neck
    hair = _cover(_ellipse_d(x, y, 0.0, -0.10, 0.71, 0.86), px)
    layer(hair * _cover(0.15 - y, px * 4), hair_rgb)
    for sx in (-1, 1):
        layer(_cover(_ellipse_d(x, y, sx * 0.61, 0.02, 0.08, 0.15), px), skin * 0.9)  # ears
    face = _cover(_ellipse_d(x, y, 0.0, 0.0, 0.62, 0.80), px)
    # Light from the upper left, a little darker towards the jaw line.
    shade = 1.0 - 0.10 * x - 0.05 * y - 0.18 * np.clip((x / 0.62) ** 2 + (y / 0.8) ** 2 - 0.5, 0, 1)
    _over(img, face, 0)
    img += face[..., None] * skin * shade[..., None]
    cov = cov + face * (1.0 - cov)
    # A fringe over the forehead, parted a little to the left.
    layer(hair * _cover(-0.55 + 0.45 * (x + 0.12) ** 2 - y, px), hair_rgb)
    # Cheeks.
    for sx in (-1, 1):
        r2 = ((x - sx * 0.36) / 0.14) ** 2 + ((y - 0.18) / 0.10) ** 2
        _over(img, 0.18 * np.exp(-r2) * face, (0.9, 0.45, 0.45))
    # Eyes with a blink: the upper lid comes down over the eye.
    for sx in (-1, 1):
        ex, ey = sx * 0.28, -0.22
        white = _cover(_ellipse_d(x, y, ex, ey, 0.12, 0.055), px)
        lid_y = ey - 0.055 + closed * 0.11
        open_part = _cover(y - lid_y, px)
        _over(img, white * open_part, (0.95, 0.94, 0.92))
        _over(img, _cover(_ellipse_d(x, y, ex, ey, 0.05, 0.05), px) * white * open_part, (0.30, 0.20, 0.12))
        _over(img, _cover(_ellipse_d(x, y, ex, ey, 0.022, 0.022), px) * white * open_part, (0.05, 0.04, 0.04))
        lid_line = _cover(0.008 - np.abs(y - lid_y), px) * _cover(_ellipse_d(x, y, ex, ey, 0.125, 0.06), px)
        _over(img, lid_line, (0.25, 0.15, 0.12))
        brow = _cover(_ellipse_d(x, y, sx * 0.30, -0.40 + 0.3 * (x - sx * 0.30) ** 2, 0.15, 0.028), px)
        _over(img, brow, (0.25, 0.16, 0.11))
    # Nose: a soft shadow along the right side and two nostrils.
    _over(img, 0.25 * np.exp(-(((x - 0.05) / 0.03) ** 2 + ((y + 0.02) / 0.16) ** 2)), (0.6, 0.42, 0.35))
    for sx in (-1, 1):
        _over(img, _cover(_ellipse_d(x, y, sx * 0.06, 0.13, 0.03, 0.016), px), (0.45, 0.28, 0.24))
    # Lips around the closed mouth line at y = 0.45.
    lip = (0.74, 0.34, 0.36)
    _over(img, _cover(_ellipse_d(x, y, 0.0, 0.42, 0.25, 0.035), px) * _cover(0.45 - y, px), lip)
    _over(img, _cover(_ellipse_d(x, y, 0.0, 0.45, 0.23, 0.07), px) * _cover(y - 0.45, px), np.array(lip) * 1.08)
    _over(img, _cover(0.006 - np.abs(y - 0.45), px) * _cover(_ellipse_d(x, y, 0.0, 0.45, 0.25, 0.05), px),
          (0.35, 0.12, 0.14))
    return img, cov


def _backdrop(w, h):
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    t = yy / h
    img = np.empty((h, w, 3))
    for k, (top, bottom) in enumerate(zip((0.78, 0.74, 0.68), (0.56, 0.52, 0.48))):
        img[..., k] = top + (bottom - top) * t
    vign = 1.0 - 0.25 * (((xx - w / 2) / w) ** 2 + ((yy - h / 2) / h) ** 2)
    img *= vign[..., None]
    # A framed picture on the wall, left of the person.
    frame_d = np.minimum(np.minimum(xx - 120, 330 - xx), np.minimum(yy - 110, 300 - yy))
    _over(img, _cover(frame_d, 1.0), (0.35, 0.25, 0.18))
    _over(img, _cover(frame_d - 12, 1.0), (0.45, 0.58, 0.66))
    return img


def background_frames(nt=NT, crop=CROP, width=WIDTH, height=HEIGHT):
    """uint8 (nt, H, W, 3) frames of the person; the head follows paste_transform(f)."""
    base = _backdrop(width, height)
    rng = np.random.default_rng(3)
    grain = rng.normal(0.0, 0.6, size=(height, width, 3))
    out = np.empty((nt, height, width, 3), np.uint8)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    half = crop * SCALE * 0.5
    for f in range(nt):
        img = base.copy()
        cx, cy, ang = pose(f, nt)
        # The head region: normalised crop coordinates of every pixel in a box around the face.
        x0, x1 = int(max(0, cx - 1.5 * half)), int(min(width, cx + 1.5 * half))
        y0, y1 = int(max(0, cy - 1.4 * half)), int(min(height, cy + 2.0 * half))
        m = paste_transform(f, crop, nt)
        a = np.linalg.inv(np.array([[m[0], m[1]], [m[3], m[4]]]))
        bx, by = xx[y0:y1, x0:x1] - m[2], yy[y0:y1, x0:x1] - m[5]
        u = a[0, 0] * bx + a[0, 1] * by
        v = a[1, 0] * bx + a[1, 1] * by
        nx, ny = (2 * u + 1) / crop - 1, (2 * v + 1) / crop - 1
        rgb, cov = _person(nx, ny, 2.0 / (crop * SCALE), blink(f))
        sub = img[y0:y1, x0:x1]
        sub *= 1.0 - cov[..., None]
        sub += rgb
        # Shoulders, over the neck, moving with the head.
        sh = _cover(_ellipse_d(xx, yy, cx, cy + half * 2.1, half * 2.0, half * 0.95), 1.0)
        _over(img, sh, (0.20, 0.30, 0.45))
        out[f] = np.clip(np.rint((img + grain / 255.0) * 255.0), 0, 255).astype(np.uint8)
    return out


def cut_prior(frames, transforms, crop=CROP):
    """The warp prior: each frame sampled bilinearly at M(u, v) for every crop pixel, as float
    (N, 3, crop, crop) planes in [0, 1]."""
    n, h, w, _ = frames.shape
    vv, uu = np.mgrid[0:crop, 0:crop].astype(np.float64)
    out = np.empty((n, 3, crop, crop), np.float32)
    for f in range(n):
        m = transforms[f]
        x = np.clip(m[0] * uu + m[1] * vv + m[2], 0, w - 1)
        y = np.clip(m[3] * uu + m[4] * vv + m[5], 0, h - 1)
        x0 = np.minimum(np.floor(x).astype(int), w - 2)
        y0 = np.minimum(np.floor(y).astype(int), h - 2)
        fx, fy = (x - x0)[..., None], (y - y0)[..., None]
        img = frames[f].astype(np.float64) / 255.0
        top = img[y0, x0] * (1 - fx) + img[y0, x0 + 1] * fx
        bot = img[y0 + 1, x0] * (1 - fx) + img[y0 + 1, x0 + 1] * fx
        out[f] = (top * (1 - fy) + bot * fy).transpose(2, 0, 1)
    return out


def write_demo(bundle_dir, nt=NT, crop=CROP, frames=FRAMES, batches=(1, 4), lip=False, seed=0):
    """Writes the demo bundle directory. Returns its manifest dict."""
    os.makedirs(bundle_dir, exist_ok=True)
    m = bundle.manifest_dict(nt, WIDTH, HEIGHT, crop, frames, stamp=(WIDTH, HEIGHT), agent="forge-demo",
                             extra={"amount": 0.6})
    with open(os.path.join(bundle_dir, "manifest.json"), "w") as f:
        json.dump(m, f, indent=1)
    rng = np.random.default_rng(seed)
    transforms = np.stack([paste_transform(f, crop, nt) for f in range(nt)])
    bg = background_frames(nt, crop)
    video.write_h264_mp4(os.path.join(bundle_dir, "target_frames_mp4"), bg, fps=FPS)
    put = lambda name, data: identity.write_member(bundle_dir, name, data)  # noqa: E731
    put("P.f16", cut_prior(bg, transforms, crop).astype(np.float16))
    put("pooled64.f16", identity.pooled(rng, nt))
    xs_target = np.tile(keypoints().reshape(1, -1), (nt, 1)).astype(np.float32)
    # The idle loop walks the source frames; the mouth opens and closes about twice a second.
    xs, xd, si = identity.driving_table(xs_target, frames)
    for name, data in (("M.f32", transforms.astype(np.float32)), ("mask_512.u8", identity.feathered_mask(crop)),
                       ("xs_target.bin", xs_target), ("drive/xs.f32", xs), ("drive/xd.f32", xd),
                       ("drive/si.i32", si)):
        put(name, data)
    if lip:
        with open(os.path.join(bundle_dir, "lip_template.v1.json"), "w") as f:
            f.write(bundle.lip_template(crop))
    for b in batches:
        director.write_into_bundle(bundle_dir, batch=b, seed=seed)
    # The utterance session's chunk renderer and the offline stream's director.
    director.write_steady(bundle_dir, seed=seed)
    director.write_named(bundle_dir, "render", seed=seed)
    return m


def demo(out, crop=CROP, lip=False, nt=NT, frames=FRAMES):
    os.makedirs(out, exist_ok=True)
    bundle_dir = os.path.join(out, "bundle")
    shutil.rmtree(bundle_dir, ignore_errors=True)
    write_demo(bundle_dir, nt=nt, crop=crop, frames=frames, lip=lip)
    container = os.path.join(out, "avatar.imx")
    imx.pack_dir(bundle_dir, container)
    print(container)


def register(sub):
    p = sub.add_parser("demo", help="the demo bundle: OUT/bundle and its container OUT/avatar.imx")
    p.add_argument("out")
    p.add_argument("--crop", type=int, default=CROP)
    p.add_argument("--nt", type=int, default=NT, help="source frames")
    p.add_argument("--frames", type=int, default=FRAMES, help="driving table rows")
    p.add_argument("--lip", action="store_true", help="also carry a lip template")
    p.set_defaults(func=lambda a: demo(a.out, a.crop, a.lip, a.nt, a.frames))
