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


def sidecar(n, stamp=DEFAULT_STAMP, seed=0, pix_fmt="yuv444p"):
    rng = np.random.default_rng(seed + 2)
    cent = [[round(float(32 + rng.uniform(-2, 2)), 4), round(float(40 + rng.uniform(-2, 2)), 4)]
            for _ in range(n)]
    d = {"format": "tessera_bank.v1", "n_donors": n, "geometry": dict(zip(STAMP_KEYS, stamp)),
         "track_order": track_order(n, seed), "cent": cent,
         "aperture": [round(float(a), 4) for a in rng.uniform(0.01, 0.05, n)],
         "c_canon": [32.0, 40.0], "codec": {"codec": "h264"}}
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


def unified_block(canvas, pad_x=0.10, pad_y=0.08, down=0.074):
    return {"pi": {"mode": "prop", "corner_recovery": False, "prop_gate_scale": 1.0,
                   "lip_idx": [15, 16, 17, 18], "lip_geom_params": [pad_x, pad_y, down]},
            "crop": {"canvas": canvas}}


def write_tessera(out, n=8, seed=0, arch="full", layout="plain", names=None, declare=True,
                  geometry=True, track=True, omit=(), pix_fmt="yuv444p"):
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
    if declare:
        t = {"planes": ["stream", "offline"], "bank_container": "mp4"}
        if names:
            t["members"] = dict(names)
        if geometry:
            t["geometry"] = dict(zip(STAMP_KEYS, DEFAULT_STAMP))
        m["tessera"] = t
    m["unified"] = unified_block(m.get("crop", 64))
    with open(mpath, "w") as f:
        json.dump(m, f, indent=1)
    for name in files:
        os.makedirs(os.path.dirname(os.path.join(out, name)), exist_ok=True)
    path = lambda slot: os.path.join(out, files[SLOTS.index(slot)])  # noqa: E731
    if "bank_track" not in omit:
        if track:
            video.write_h264_mp4(path("bank_track"), bank_frames(n, seed=seed), pix_fmt="yuv444p", crf=0)
        else:
            open(path("bank_track"), "wb").close()
    if "bank_sidecar" not in omit:
        with open(path("bank_sidecar"), "w") as f:
            json.dump(sidecar(n, seed=seed, pix_fmt=pix_fmt), f, indent=1)
    if "head_weights" not in omit:
        with open(path("head_weights"), "wb") as f:
            f.write(head_pt_bytes(arch, layout, seed))
    if "head_config" not in omit:
        with open(path("head_config"), "w") as f:
            json.dump(head_config(), f, indent=1)
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
    p.set_defaults(func=lambda a: write_tessera(
        a.out, a.n, a.seed, a.arch, a.layout, dict(x.split("=", 1) for x in a.name) or None,
        not a.no_declare, not a.no_geometry, not a.no_track, a.omit, a.pix_fmt) and None)

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


def _register_seeds(sub):
    p = sub.add_parser("tessera-fuzz-seeds", help="seed corpora of the tessera fuzz targets")
    p.add_argument("json_dir")
    p.add_argument("head_dir")
    p.set_defaults(func=lambda a: write_fuzz_seeds(a.json_dir, a.head_dir))
