"""Tessera members: the reference bank track and its sidecar, the blend head weights file and its
serving configuration, and the manifest's `tessera` and `unified` blocks.

The head weights file is the training side's checkpoint layout, written here with Python's own
`zipfile` and `pickle`: a ZIP archive of stored entries, "<folder>/data.pkl" holding a pickled
OrderedDict of tensors, each tensor a persistent reference to a float storage "<folder>/data/<k>".
Variants cover the legal layouts (plain, 64-byte aligned data, one shared storage with offsets)
and the hostile ones the reader must refuse.
"""
import collections
import contextlib
import io
import json
import os
import pickle
import sys
import types
import zipfile

import numpy as np

from . import video

SLOTS = ["bank_track", "bank_sidecar", "head_weights", "head_config"]
DEFAULT_NAMES = ["tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
                 "tessera_head.v1.json"]
STAMP_KEYS = ["canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
              "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin"]
# A coherent stamp on a 64-pixel canvas: a 32 x 16 window, a 10 x 24 teeth band, margin 2.
DEFAULT_STAMP = [64, 64, 16, 32, 32, 16, 4, 2, 12, 4, 28, 2]

HEAD_PARAMS = [
    ("cand.0.weight", (16, 7, 3, 3)), ("cand.0.bias", (16,)),
    ("cand.2.weight", (16, 16, 3, 3)), ("cand.2.bias", (16,)),
    ("cand.4.weight", (1, 16, 3, 3)), ("cand.4.bias", (1,)),
    ("syn.0.weight", (16, 3, 3, 3)), ("syn.0.bias", (16,)),
    ("syn.2.weight", (1, 16, 3, 3)), ("syn.2.bias", (1,)),
]


# ---- the checkpoint ----------------------------------------------------------------------------

class _Storage:
    def __init__(self, key, numel, type_global):
        self.key, self.numel, self.type_global = key, numel, type_global


class _Tensor:
    def __init__(self, storage, offset, size, stride, rebuild):
        self.args = (storage, offset, tuple(size), tuple(stride), False, collections.OrderedDict())
        self.rebuild = rebuild

    def __reduce__(self):
        return (self.rebuild, self.args)


@contextlib.contextmanager
def _checkpoint_globals():
    """Module objects under the names the checkpoint's globals carry, so that pickle can name
    them; removed again afterwards."""
    torch = types.ModuleType("torch")
    utils = types.ModuleType("torch._utils")

    def _rebuild_tensor_v2(*args):
        raise RuntimeError("only named, never called")

    _rebuild_tensor_v2.__module__ = "torch._utils"
    _rebuild_tensor_v2.__qualname__ = "_rebuild_tensor_v2"
    utils._rebuild_tensor_v2 = _rebuild_tensor_v2
    torch._utils = utils
    for name in ("FloatStorage", "DoubleStorage"):
        cls = type(name, (), {})
        cls.__module__ = "torch"
        setattr(torch, name, cls)
    saved = {k: sys.modules.get(k) for k in ("torch", "torch._utils")}
    sys.modules["torch"], sys.modules["torch._utils"] = torch, utils
    try:
        yield torch, utils
    finally:
        for k, v in saved.items():
            if v is None:
                sys.modules.pop(k, None)
            else:
                sys.modules[k] = v


class _Pickler(pickle.Pickler):
    def persistent_id(self, obj):
        if isinstance(obj, _Storage):
            return ("storage", obj.type_global, obj.key, "cpu", obj.numel)
        return None


def head_values(arch="full", seed=0):
    """The parameters, in table order, as float32 arrays of their shapes."""
    rng = np.random.default_rng(seed)
    out = []
    for name, shape in HEAD_PARAMS:
        if arch == "cand" and name.startswith("syn"):
            continue
        out.append((name, (rng.standard_normal(shape) * 0.25).astype(np.float32)))
    return out


def head_pt_bytes(arch="full", layout="plain", seed=0, folder="archive", protocol=2,
                  compress=False, dtype="float", shapes=None, drop=(), dup=(), metadata=False,
                  extra_global=None):
    """The checkpoint file's bytes.

    layout: "plain" (one storage per tensor), "aligned" (entry data on 64-byte boundaries), or
    "shared" (every tensor a slice of one storage, at its element offset, in reverse order).
    shapes: {name: shape} declared in place of the true shape (the storage keeps its size).
    drop / dup: names left out / written twice. metadata: an OrderedDict attribute, as the
    training side's state dicts carry (reaches the reader as BUILD).
    """
    values = head_values(arch, seed)
    shapes = shapes or {}
    buf = io.BytesIO()
    storages = {}
    with _checkpoint_globals() as (torch, utils):
        stype = torch.FloatStorage if dtype == "float" else torch.DoubleStorage
        sd = collections.OrderedDict()
        if layout == "shared":
            flat = np.concatenate([v.ravel() for _, v in reversed(values)])
            shared = _Storage("0", int(flat.size), stype)
            storages["0"] = flat
            offsets, off = {}, 0
            for name, v in reversed(values):
                offsets[name] = off
                off += v.size
        for k, (name, v) in enumerate(values):
            if name in drop:
                continue
            shape = tuple(shapes.get(name, v.shape))
            stride = tuple(int(np.prod(shape[i + 1:])) for i in range(len(shape)))
            if layout == "shared":
                t = _Tensor(shared, offsets[name], shape, stride, utils._rebuild_tensor_v2)
            else:
                key = str(k)
                storages[key] = v.ravel()
                t = _Tensor(_Storage(key, int(v.size), stype), 0, shape, stride,
                            utils._rebuild_tensor_v2)
            sd[name] = t
        if extra_global is not None:
            sd["extra"] = extra_global
        if metadata:
            sd._metadata = collections.OrderedDict([("", {"version": 1})])
        items = list(sd.items())
        for name in dup:
            items.append((name, sd[name]))
        if dup:
            sd = _DupDict(items)
        _Pickler(buf, protocol=protocol).dump(sd)
    pkl = buf.getvalue()

    out = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
    entries = [(folder + "/data.pkl", pkl)]
    entries += [(folder + "/data/" + key, (arr.astype(np.float64) if dtype != "float" else arr).tobytes())
                for key, arr in storages.items()]
    entries.append((folder + "/version", b"3\n"))
    with zipfile.ZipFile(out, "w", method) as zf:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = method
            if layout == "aligned":
                here = zf.fp.tell() + 30 + len(name.encode())
                pad = (-(here + 4)) % 64
                info.extra = b"PP" + pad.to_bytes(2, "little") + b"\0" * pad
            zf.writestr(info, data)
    return out.getvalue()


class _DupDict:
    """A dict pickled with repeated keys (as a hostile file may carry)."""

    def __init__(self, items):
        self.items = items

    def __reduce__(self):
        return (collections.OrderedDict, (), None, None, iter(self.items))


# ---- the bank, the sidecar, the configuration ----------------------------------------------------

def band_size(stamp):
    s = dict(zip(STAMP_KEYS, stamp))
    return (s["band_c1"] - s["band_c0"] + 2 * s["shift_margin"],
            s["band_r1"] - s["band_r0"] + 2 * s["shift_margin"])


def track_order(n, seed=0):
    return [int(v) for v in np.random.default_rng(seed + 1).permutation(n)]


def sidecar(n, stamp=DEFAULT_STAMP, seed=0, pix_fmt="yuv444p", c_canon=(32.0, 40.0)):
    rng = np.random.default_rng(seed + 2)
    cent = [[round(float(c_canon[0] + rng.uniform(-2, 2)), 4), round(float(c_canon[1] + rng.uniform(-2, 2)), 4)]
            for _ in range(n)]
    d = {"format": "tessera_bank.v1", "n_donors": n, "geometry": dict(zip(STAMP_KEYS, stamp)),
         "track_order": track_order(n, seed), "cent": cent,
         "aperture": [round(float(a), 4) for a in rng.uniform(0.01, 0.05, n)],
         "c_canon": [float(c_canon[0]), float(c_canon[1])], "codec": {"codec": "h264"}}
    if pix_fmt:
        d["codec"]["pix_fmt"] = pix_fmt
    return d


def head_config(envelope=12):
    d = {"retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64},
         "temporal": {"hysteresis": 8, "lookahead": 8}}
    if envelope is not None:
        d["decode"] = {"envelope_clamp_255": envelope}
    return d


def bank_frames(n, stamp=DEFAULT_STAMP, seed=0):
    """One frame per donor, in track order: donor d is a flat colour pattern keyed by d."""
    w, h = band_size(stamp)
    order = track_order(n, seed)
    frames = np.zeros((n, h, w, 3), dtype=np.uint8)
    for i, d in enumerate(order):
        frames[i, :, :, 0] = (d * 37) % 256
        frames[i, :, :, 1] = (d * 91 + 20) % 256
        frames[i, :, :, 2] = np.arange(w, dtype=np.uint8)[None, :] * 4
    return frames


def teeth_frames(n, stamp=DEFAULT_STAMP, seed=0):
    """One frame per donor, in track order: drawn teeth in a dark mouth. Donor d draws shape d % 3
    (a full upper row, narrow teeth, a row with a gap), each tooth a rounded bright block whose
    shade and height vary with d; shapes past the first carry a lower row as well."""
    w, h = band_size(stamp)
    order = track_order(n, seed)
    out = np.zeros((n, h, w, 3), dtype=np.uint8)
    yy, xx = np.mgrid[0:h, 0:w]
    for i, d in enumerate(order):
        img = np.empty((h, w, 3), np.float64)
        img[:] = (48, 18, 24)  # the mouth's dark cavity
        shape = d % 3
        tooth_w = [5, 3, 4][shape]
        shade = 205 + 6 * (d % 7)
        top_h = max(2, h // 2 - (d % 3))
        for x0 in range(1, w - tooth_w + 1, tooth_w + 1):
            if shape == 2 and abs(x0 + tooth_w / 2 - w / 2) < tooth_w:
                continue  # the gap
            inside = (xx >= x0) & (xx < x0 + tooth_w) & (yy < top_h)
            rounded = inside & ~((yy == top_h - 1) & ((xx == x0) | (xx == x0 + tooth_w - 1)))
            img[rounded] = (shade, shade - 4, shade - 14)
            if shape:
                low = (xx >= x0 + 1) & (xx < x0 + tooth_w) & (yy >= h - 2)
                img[low] = (shade - 30, shade - 34, shade - 44)
        out[i] = np.clip(img, 0, 255).astype(np.uint8)
    return out


def unified_block(canvas, pad_x=0.10, pad_y=0.08, down=0.074):
    return {"pi": {"mode": "prop", "corner_recovery": False, "prop_gate_scale": 1.0,
                   "lip_idx": [15, 16, 17, 18], "lip_geom_params": [pad_x, pad_y, down]},
            "crop": {"canvas": canvas}}


def pi_centroid(kp, canvas, lips, pad_x, pad_y, down, gate_scale=1.0):
    """The centroid (x, y) of the byte pi's pixels of at least 128 for one frame's keypoints (float64
    throughout: close to the engine's float32 mask, enough to place a bank's canonical centre), or
    None when the mask is empty."""
    g = np.arange(canvas) * 2.0 / (canvas - 1) - 1.0
    xs, ys = kp[lips, 0].astype(np.float64), kp[lips, 1].astype(np.float64)
    mx, my = xs.mean(), ys.mean()
    ex, ey = np.abs(xs - mx).max(), np.abs(ys - my).max()

    def soft(cx, cy, rx, ry):
        d = np.sqrt(((g[None, :] - cx) / rx) ** 2 + ((g[:, None] - cy) / ry) ** 2)
        t = (1.0 - d) * np.sqrt(rx * ry) * 256.0 / 10.0
        tc = np.minimum(t, 1.0)
        return np.where(t < 0, 0.0, tc * tc * (3.0 - 2.0 * tc))

    lip = soft(mx, my + down, max(0.1, ex + pad_x), max(0.1, ey + pad_y))
    t = (ey - 0.02) / 0.01
    gate = 0.0 if t < 0 else min(1.0, t) ** 2 * (3.0 - 2.0 * min(1.0, t))
    pi = np.maximum(lip, soft(mx, my, max(0.004, ex) * gate_scale, max(0.004, ey) * gate_scale) * gate)
    on = np.rint(np.clip(pi, 0, 1) * 255.0) >= 128
    if not on.any():
        return None
    yy, xx = np.nonzero(on)
    return float(xx.mean()), float(yy.mean())


def fitted_geometry(bundle_dir, canvas, lips=(15, 16, 17, 18)):
    """The bank's canonical centre for a bundle (the corpus row v1's mean pi centroid over its
    xs_target.bin rows) and a stamp on its canvas with the window around that centre."""
    kp = np.fromfile(os.path.join(bundle_dir, "xs_target.bin"), dtype=np.float32).reshape(-1, 21, 3)
    cs = [c for c in (pi_centroid(k, canvas, list(lips), 0.05, 0.08, 0.015) for k in kp) if c is not None]
    cx, cy = float(np.mean([c[0] for c in cs])), float(np.mean([c[1] for c in cs]))
    ww, wh = max(32, canvas // 4 // 4 * 4), max(16, canvas // 8 // 4 * 4)
    pad = max(4, canvas // 64)
    stamp = [canvas, canvas, int(cx) - ww // 2, int(cy) - wh // 2, ww, wh, pad,
             wh // 8, wh - wh // 8, ww // 8, ww - ww // 8, 2]
    return (cx, cy), stamp


# ---- the demo's teeth bank, fitted to its face ------------------------------------------------------
#
# Speech opens the demo face's mouth by moving the lower lip (row 18) down by a, the upper lip
# (17) up by a / 2 and the corners (15, 16) in by 0.3 a. The pi counts the upper lip twice, so the
# lips' mean, and with it the pi's centroid and the window, stays where the bank was cut whatever
# the opening: every donor is the face itself around a mouth opened by its aperture, and only the
# open mouth differs from the rendered frame.

DEMO_LIPS = [15, 16, 17, 17, 18]
DEMO_APERTURES = (0.003, 0.2)  # the lower lip's drop, normalised, of the narrowest and widest donor


def demo_open(ks, a):
    """The demo face's keypoints with the mouth opened by a."""
    kd = np.array(ks, np.float64)
    kd[17, 1] -= 0.5 * a
    kd[18, 1] += a
    kd[15, 0] += 0.3 * a
    kd[16, 0] -= 0.3 * a
    return kd


def demo_geometry(bundle_dir, canvas):
    """c_canon and a stamp for the demo face: the window and its band cover the pi's support (the
    lip ellipse of corpus row v1 over DEMO_LIPS, with its soft edge, for a mouth opened half the
    widest donor's aperture), so the pi fades out before the band ends."""
    kp = np.fromfile(os.path.join(bundle_dir, "xs_target.bin"), dtype=np.float32).reshape(-1, 21, 3)
    cs = [c for c in (pi_centroid(k, canvas, DEMO_LIPS, 0.05, 0.08, 0.015) for k in kp) if c is not None]
    cx, cy = float(np.mean([c[0] for c in cs])), float(np.mean([c[1] for c in cs]))
    pts = demo_open(kp[0], 0.5 * DEMO_APERTURES[1])[DEMO_LIPS, :2]
    ex = np.abs(pts[:, 0] - pts[:, 0].mean()).max() + 0.05
    ey = np.abs(pts[:, 1] - pts[:, 1].mean()).max() + 0.08
    half = (canvas - 1) / 2.0
    # The ellipse, 25% wider for its soft edge, in pixels, rounded up to whole 4-pixel blocks.
    ww = min(canvas, int(np.ceil(2 * 1.25 * ex * half / 4.0)) * 4 + 8)
    wh = min(canvas, int(np.ceil(2 * 1.25 * ey * half / 4.0)) * 4 + 8)
    pad = max(4, canvas // 64)
    x0 = int(np.clip(round(cx) - ww // 2, 0, canvas - ww))
    y0 = int(np.clip(round(cy) - wh // 2, 0, canvas - wh))
    return (cx, cy), [canvas, canvas, x0, y0, ww, wh, pad, 2, wh - 2, 2, ww - 2, 2]


def demo_apertures(n):
    lo, hi = DEMO_APERTURES
    return [lo + (hi - lo) * k / max(1, n - 1) for k in range(n)]


def _teeth_seams(u, width, seed):
    """Per-pixel shade of a row of teeth across u: 1 on a tooth, darker in the narrow seam between
    two, each tooth a little darker towards the mouth's corners."""
    rng = np.random.default_rng(seed)
    tooth = width * (1.0 + 0.06 * rng.uniform(-1, 1))
    k = np.floor(u / tooth + 0.5)
    fx = np.abs(u / tooth - k)  # 0 at a tooth's middle, 0.5 at a seam
    seam = np.clip((0.5 - fx) * tooth * 256.0 / 1.6, 0.0, 1.0)
    return (0.72 + 0.28 * seam) * (1.0 - 0.035 * np.minimum(np.abs(k), 4))


def demo_teeth_frames(n, stamp, canvas, apertures, seed=0):
    """Donor d (track order) is the demo face with the mouth opened by apertures[d], as the demo's
    renderer opens it (the lips warped apart, a soft dark cavity between them), with drawn teeth
    in the cavity; cut at the stored band's place on the canvas."""
    from . import demo, director
    s = dict(zip(STAMP_KEYS, stamp))
    w, h = band_size(stamp)
    ys = s["window_y0"] + s["band_r0"] - s["shift_margin"] + np.arange(h)
    xs = s["window_x0"] + s["band_c0"] - s["shift_margin"] + np.arange(w)
    u = ((2.0 * xs + 1.0) / canvas - 1.0)[None, :].repeat(h, 0)
    v = ((2.0 * ys + 1.0) / canvas - 1.0)[:, None].repeat(w, 1)
    ks = demo.keypoints().astype(np.float64)
    sig2 = 2.0 * director.WARP_SIGMA ** 2
    out = np.zeros((n, h, w, 3), np.uint8)
    for i, d in enumerate(track_order(n, seed)):
        a = apertures[d]
        kd = demo_open(ks, a)
        du, dv = np.zeros_like(u), np.zeros_like(v)
        for k in (15, 16, 17, 18):
            g = np.exp(-((u - kd[k, 0]) ** 2 + (v - kd[k, 1]) ** 2) / sig2)
            du += g * (kd[k, 0] - ks[k, 0])
            dv += g * (kd[k, 1] - ks[k, 1])
        img, cov = demo._person(u - du, v - dv, 2.0 / canvas, 0.0)
        img = np.clip(img + (1.0 - cov[..., None]) * 0.7, 0, 1)
        # The opening: an ellipse between the lips, as the renderer's cavity.
        m = kd[15:19]
        up, lo = kd[17, 1], kd[18, 1]
        cx, cy = m[:, 0].mean(), 0.5 * (up + lo)
        opening = (lo - up) - (ks[18, 1] - ks[17, 1])
        rx, ry = 0.36 * (m[:, 0].max() - m[:, 0].min()), 0.45 * opening + 1e-3
        e = ((u - cx) / rx) ** 2 + ((v - cy) / ry) ** 2
        # The renderer's compose alpha around the lips.
        ea = ((u - cx) / (0.7 * (m[:, 0].max() - m[:, 0].min()) + 0.06)) ** 2 + \
             ((v - m[:, 1].mean()) / (0.7 * (m[:, 1].max() - m[:, 1].min()) + 0.10)) ** 2
        alpha = np.clip((1.0 - ea) * 4.0, 0, 1)
        cav = np.clip((1.0 - e) * 3.0, 0, 1) * min(1.0, 25.0 * opening) * 0.92 * alpha
        # The renderer's cavity colour (dark, the teeth fading in from the top), the teeth cut into
        # single teeth by seams.
        depth = (cy - v) / ry
        teeth = np.clip((depth - 0.15) * 3.0, 0.0, 1.0) * _teeth_seams(u - cx, 0.05, seed * 131 + d)
        cavity, lift = np.array(director.CAVITY), np.array(director.TEETH) - np.array(director.CAVITY)
        inner = cavity + teeth[..., None] * lift
        img = img + cav[..., None] * (inner - img)
        out[i] = np.clip(np.rint(img * 255.0), 0, 255).astype(np.uint8)
    return out


def demo_head_config():
    """The demo bank's serving configuration: the best donor blended with at most one neighbour of
    nearly the same opening, none carried from frame to frame (the rendered opening moves smoothly
    anyway), so the lips and the cavity's edge of the blend stay sharp."""
    d = head_config()
    d["retrieval"].update({"aperture_tol": 0.12, "K": 2})
    d["temporal"].update({"hysteresis": 0, "lookahead": 0})
    return d


def write_tessera(out, n=8, seed=0, arch="full", layout="plain", names=None, declare=True,
                  geometry=True, track=True, omit=(), pix_fmt="yuv444p", teeth=False, fit=False):
    """Adds the four members (less those in `omit`) and the manifest blocks to bundle `out`; keeps
    an existing manifest.json's keys."""
    os.makedirs(out, exist_ok=True)
    mpath = os.path.join(out, "manifest.json")
    m = json.load(open(mpath)) if os.path.exists(mpath) else {
        "format": "ka-bundle-v0", "agent": "forge", "NT": 6, "W": 160, "H": 120, "crop": 64,
        "amount": 1.3, "sigma": 2.0, "ksize": 13, "frames": 8, "M_src_w": 160, "M_src_h": 120}
    files = list(DEFAULT_NAMES)
    if names:
        for slot, name in names.items():
            if name:
                files[SLOTS.index(slot)] = name
    stamp, c_canon = DEFAULT_STAMP, (32.0, 40.0)
    demo_bank = teeth and fit
    if demo_bank:
        c_canon, stamp = demo_geometry(out, m.get("crop", 64))
    elif fit:
        c_canon, stamp = fitted_geometry(out, m.get("crop", 64))
    if declare:
        t = {"planes": ["stream", "offline"], "bank_container": "mp4"}
        if names:
            t["members"] = dict(names)
        if geometry:
            t["geometry"] = dict(zip(STAMP_KEYS, stamp))
        m["tessera"] = t
    if demo_bank:  # the corpus row v1 the engine identifies from c_canon, over the demo's lips
        m["unified"] = unified_block(m.get("crop", 64), 0.05, 0.08, 0.015)
        m["unified"]["pi"]["lip_idx"] = list(DEMO_LIPS)
    else:
        m["unified"] = unified_block(m.get("crop", 64))
    with open(mpath, "w") as f:
        json.dump(m, f, indent=1)
    for name in files:
        os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
    path = lambda slot: os.path.join(out, files[SLOTS.index(slot)])  # noqa: E731
    if "bank_track" not in omit:
        if track:
            if demo_bank:
                frames = demo_teeth_frames(n, stamp, m.get("crop", 64), demo_apertures(n), seed)
            else:
                frames = teeth_frames(n, stamp, seed) if teeth else bank_frames(n, stamp, seed)
            video.write_h264_mp4(path("bank_track"), frames, pix_fmt="yuv444p", crf=0)
        else:
            open(path("bank_track"), "wb").close()
    if "bank_sidecar" not in omit:
        with open(path("bank_sidecar"), "w") as f:
            sc = sidecar(n, stamp, seed, pix_fmt, c_canon)
            if demo_bank:  # every donor cut at the canonical centre, its aperture its opening
                sc["cent"] = [[float(c_canon[0]), float(c_canon[1])]] * n
                sc["aperture"] = [round(a, 4) for a in demo_apertures(n)]
            json.dump(sc, f, indent=1)
    if "head_weights" not in omit:
        with open(path("head_weights"), "wb") as f:
            f.write(head_pt_bytes(arch, layout, seed))
    if "head_config" not in omit:
        with open(path("head_config"), "w") as f:
            json.dump(demo_head_config() if demo_bank else head_config(), f, indent=1)
    return m


def _shape_arg(text):
    name, dims = text.split("=")
    return name, tuple(int(d) for d in dims.split("x"))


def register(sub):
    p = sub.add_parser("tessera", help="the four teeth-borrow members and the manifest blocks")
    p.add_argument("out")
    p.add_argument("--n", type=int, default=8)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--arch", choices=["full", "cand"], default="full")
    p.add_argument("--layout", choices=["plain", "aligned", "shared"], default="plain")
    p.add_argument("--name", action="append", default=[], help="SLOT=FILE, a manifest rename")
    p.add_argument("--no-declare", action="store_true")
    p.add_argument("--no-geometry", action="store_true", help="no manifest.tessera.geometry")
    p.add_argument("--no-track", action="store_true", help="an empty file in place of the video")
    p.add_argument("--omit", action="append", default=[], choices=SLOTS)
    p.add_argument("--pix-fmt", default="yuv444p", help="the sidecar's codec.pix_fmt ('' for none)")
    p.add_argument("--teeth", action="store_true", help="a bank of drawn teeth (the demo's) in place of flat patterns")
    p.add_argument("--fit", action="store_true",
                   help="the stamp and canonical centre fitted to the bundle's canvas and xs_target.bin")
    p.set_defaults(func=lambda a: write_tessera(
        a.out, a.n, a.seed, a.arch, a.layout, dict(x.split("=", 1) for x in a.name) or None,
        not a.no_declare, not a.no_geometry, not a.no_track, a.omit, a.pix_fmt, a.teeth, a.fit) and None)

    p = sub.add_parser("tessera-head", help="a head weights file, in a legal or hostile layout")
    p.add_argument("out")
    p.add_argument("--arch", choices=["full", "cand"], default="full")
    p.add_argument("--layout", choices=["plain", "aligned", "shared"], default="plain")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--folder", default="archive")
    p.add_argument("--protocol", type=int, default=2)
    p.add_argument("--compress", action="store_true")
    p.add_argument("--dtype", choices=["float", "double"], default="float")
    p.add_argument("--shape", action="append", default=[], type=_shape_arg, help="NAME=AxBxC")
    p.add_argument("--drop", action="append", default=[])
    p.add_argument("--dup", action="append", default=[])
    p.add_argument("--metadata", action="store_true")
    p.add_argument("--dump", help="also write every parameter, table order, as raw float32")

    def run(a):
        with open(a.out, "wb") as f:
            f.write(head_pt_bytes(a.arch, a.layout, a.seed, a.folder, a.protocol, a.compress,
                                  a.dtype, dict(a.shape), a.drop, a.dup, a.metadata))
        if a.dump:
            with open(a.dump, "wb") as f:
                for _, v in head_values(a.arch, a.seed):
                    f.write(v.tobytes())
    p.set_defaults(func=run)
    p = sub.add_parser("tessera-widths", help="bank tracks of every width, with FFmpeg's own RGB decode")
    p.add_argument("out")
    p.add_argument("--from", dest="first", type=int, default=1)
    p.add_argument("--to", dest="last", type=int, default=64)
    p.add_argument("--height", type=int, default=6)
    p.add_argument("--n", type=int, default=3)
    p.set_defaults(func=lambda a: write_width_tracks(a.out, a.first, a.last, a.height, a.n))
    _register_seeds(sub)


def write_fuzz_seeds(json_dir, head_dir):
    """Seed corpora of the two tessera fuzz targets.

    JSON seeds are a sidecar, a NUL byte and a manifest; head seeds are a checkpoint behind a 0x00
    byte, or a pickle alone behind a 0x01 byte (the target wraps it in an archive)."""
    os.makedirs(json_dir, exist_ok=True)
    os.makedirs(head_dir, exist_ok=True)
    m = {"format": "ka-bundle-v0", "crop": 16,
         "tessera": {"members": {"head_weights": "w.pt"}, "planes": ["stream"],
                     "geometry": dict(zip(STAMP_KEYS, DEFAULT_STAMP)), "bank_pix_fmt": "rgb24"},
         "unified": unified_block(16)}
    m["unified"]["crop"]["canvas"] = 16
    seeds = {
        "valid": (sidecar(4), m),
        "corner": (sidecar(2), dict(m, unified={"pi": dict(m["unified"]["pi"], corner_recovery="lip_landmark_half")})),
        "config": (sidecar(1), head_config()),
    }
    for name, (sc, man) in seeds.items():
        with open(os.path.join(json_dir, name + ".bin"), "wb") as f:
            f.write(json.dumps(sc).encode() + b"\0" + json.dumps(man).encode())
    hostile = {
        "escapes": b'{"format": "tessera_bank.v1\\u00e9\\"\\\\\\/\\b\\f\\n\\r\\t", "n_donors": 0x10, "x": [1e400, -inf, nan, .5]}',
        "deep": b"[" * 300 + b"]" * 300,
        "truncated": b'{"format": "tessera_ba',
        "dup": b'{"n_donors": 2, "n_donors": 1025, "track_order": [0, 0], "cent": [[1, 2], [3]], "aperture": [1, 2], "c_canon": [0, 0]}',
    }
    for name, text in hostile.items():
        with open(os.path.join(json_dir, name + ".bin"), "wb") as f:
            f.write(text + b"\0" + text)
    for name, kw in {"plain": {}, "aligned": {"layout": "aligned"}, "shared": {"layout": "shared", "arch": "cand"},
                     "meta": {"metadata": True}}.items():
        with open(os.path.join(head_dir, name + ".bin"), "wb") as f:
            f.write(b"\0" + head_pt_bytes(**kw))
    pkl = head_pt_bytes()
    with zipfile.ZipFile(io.BytesIO(pkl)) as zf:
        raw = zf.read("archive/data.pkl")
    with open(os.path.join(head_dir, "pickle.bin"), "wb") as f:
        f.write(b"\1" + raw)
    with open(os.path.join(head_dir, "pickle_hostile.bin"), "wb") as f:
        f.write(b"\1" + b"\x80\x02}q\x01(Nr\xf0\xff\xff\xffj\xf0\xff\xff\xffX\xff\xff\xff\x7fu.")


def write_width_tracks(out, first, last, height=6, n=3, seed=0):
    """Bank tracks of every width first..last (out/w<W>.mp4, `n` frames of random donor pixels,
    `height` rows), each with FFmpeg's own decode of it to packed RGB (out/w<W>.rgb, track order).
    A width the 4:2:0 layout can carry is written 4:2:0, whose conversion to RGB stores past the
    row; the others 4:4:4. One FFmpeg run encodes every track and one decodes them."""
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)
    widths = list(range(first, last + 1))
    encode, decode = ["-nostdin"], ["-nostdin"]
    for w in widths:
        raw = os.path.join(out, "w%d.src" % w)
        rng.integers(0, 256, (n, height, w, 3), dtype=np.uint8).tofile(raw)
        encode += ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % (w, height), "-r", "25", "-i", raw]
        decode += ["-i", os.path.join(out, "w%d.mp4" % w)]
    for i, w in enumerate(widths):
        fmt = "yuv420p" if w % 2 == 0 and height % 2 == 0 else "yuv444p"
        encode += (["-map", "%d:v" % i] + video._x264_args(fmt, 50, "veryfast") + ["-crf", "0"] +
                   video._BITEXACT + ["-f", "mp4", os.path.join(out, "w%d.mp4" % w)])
        decode += ["-map", "%d:v" % i, "-f", "rawvideo", "-pix_fmt", "rgb24", "-sws_flags", "bilinear",
                   os.path.join(out, "w%d.rgb" % w)]
    video._run(encode, None)
    video._run(decode, None)
    for w in widths:
        os.remove(os.path.join(out, "w%d.src" % w))


def _register_seeds(sub):
    p = sub.add_parser("tessera-fuzz-seeds", help="seed corpora of the tessera fuzz targets")
    p.add_argument("json_dir")
    p.add_argument("head_dir")
    p.set_defaults(func=lambda a: write_fuzz_seeds(a.json_dir, a.head_dir))
