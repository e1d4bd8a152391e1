"""The motion directory of the audio-to-motion engine: small, deterministic models and tables whose
generated lip expression follows speech loudness, and a numpy reference of the whole engine.

    forge.py motion OUT_DIR --nt N [--xs-target PATH] [--n-emo K] [--s-bridge S] [--delta-pitch D]
                            [--seed SEED] [--lmdm-shape A,B,C] [--hubert-input NAME] [--unshaped]
                            [--lmdm-gather-oob]

writes OUT_DIR/meta.json, the tables and hubert_student.onnx (mel [1,21,80] -> [1,20,1024]),
lmdm.onnx (cond [1,265], chunk [1,80,1103] -> [1,80,265]) and stitch.onnx (xs, xd [1,21,3] ->
[1,63]). --unshaped declares every model input and output without a shape (unknown rank);
--lmdm-gather-oob makes the generator load but fail inside ONNX Runtime on every run (a Gather
index out of range). n_src = nt. xs_target.bin is copied from PATH (a bundle's member, nt x 63 float32: nt is
then checked against it) or, without --xs-target, is the demo face's keypoints repeated nt times.
For the demo bundle: forge.py motion BUNDLE/motion --nt NT --xs-target BUNDLE/xs_target.bin.

What the models compute (all linear, so numpy predicts them to float round-off):
- the encoder averages neighbouring mel frames; feature 0 is their mean (loudness), the others a
  fixed random projection; de-normalised loudness is about 0 for quiet audio and 1 for speech;
- the generator maps each feature row and the condition linearly to a motion row; expression value
  254 (keypoint 17, the upper lip, y) is -0.13 x loudness, clamped by v_min_max to [-0.16, 0], so
  the upper lip rises (the mouth opens) with speech; the other lip values move by a few 1e-3;
- the stitcher returns xd + 0.1 (xs - xd).

forge.py motion-ref MOTION_DIR AUDIO.f32 OUT.f32 [--chunk N] [--start I --direction D --wrap W]
runs the numpy reference (the clip pushed whole, then finished) over float32 samples and writes per frame: index, base row, drive row
(127 float32 values per frame).
"""
import json
import os
import shutil

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

KP = 63
INFO = 328
DIM = 265
HEAD = 202
FEAT = 1103
LIP = (6, 12, 14, 17, 19, 20)
LOUD_COL = 202 + 17 * 3 + 1
# Offsets in a keypoint info row.
EXP, KPS, PITCH, ROLL, SCALE, T, YAW = 0, 63, 126, 192, 258, 259, 262


def _save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="ka-forge")
    model.ir_version = 8
    if not _UNSHAPED[0]:  # this checker wants a shape on every graph input, which ONNX does not
        onnx.checker.check_model(model)
    onnx.save(model, path)


# Set by write_motion: declare model inputs and outputs without a shape.
_UNSHAPED = [False]


def _f(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, None if _UNSHAPED[0] else shape)


def mel_filters(n_fft=512, n_mels=80, rate=16000):
    """Triangular filters on the HTK mel scale, (n_fft/2 + 1) x n_mels."""
    mel = lambda f: 2595.0 * np.log10(1.0 + f / 700.0)  # noqa: E731
    hz = lambda m: 700.0 * (10 ** (m / 2595.0) - 1.0)  # noqa: E731
    edges = hz(np.linspace(mel(0.0), mel(rate / 2), n_mels + 2))
    freqs = np.linspace(0, rate / 2, n_fft // 2 + 1)
    out = np.zeros((n_fft // 2 + 1, n_mels))
    for m in range(n_mels):
        lo, mid, hi = edges[m], edges[m + 1], edges[m + 2]
        out[:, m] = np.clip(np.minimum((freqs - lo) / (mid - lo), (hi - freqs) / (hi - mid)), 0, None)
    return out.astype(np.float32)


def _bins(angle, sharp=0.5):
    """66 bin scores whose softmax expectation decodes near `angle` degrees."""
    c = (angle + 97.5) / 3.0
    return (-sharp * (np.arange(66) - c) ** 2).astype(np.float32)


def _info_row(kp, exp, pitch, yaw, roll, scale, t):
    row = np.zeros(INFO, np.float32)
    row[EXP:EXP + KP] = exp
    row[KPS:KPS + KP] = kp
    row[PITCH:PITCH + 66] = _bins(pitch)
    row[ROLL:ROLL + 66] = _bins(roll)
    row[SCALE] = scale
    row[T:T + 3] = t
    row[YAW:YAW + 66] = _bins(yaw)
    return row


class Params:
    """Every weight and table of a forged motion directory, from the seed."""

    def __init__(self, nt, xs_target, n_emo=3, seed=0):
        rng = np.random.default_rng(1000 + seed)
        self.hub_w = (0.01 * rng.standard_normal((80, 1024))).astype(np.float32)
        self.hub_w[:, 0] = 1.0 / 80.0
        self.hub_b = (0.1 * rng.standard_normal(1024)).astype(np.float32)
        self.hub_b[0] = 0.0
        self.fstd = rng.uniform(0.5, 1.5, 1024).astype(np.float32)
        self.fmean = (0.1 * rng.standard_normal(1024)).astype(np.float32)
        self.fstd[0], self.fmean[0] = 0.25, 1.0
        a = 0.01 * rng.standard_normal((FEAT, DIM))
        lip_cols = [202 + 3 * k + c for k in LIP for c in range(3)]
        a[:, lip_cols] *= 0.01
        a[:, LOUD_COL] = 0.0
        a[0, LOUD_COL] = -0.13
        self.lmdm_a = a.astype(np.float32)
        b = np.zeros((DIM, DIM))
        b[:HEAD, :HEAD] = 0.3 * np.eye(HEAD) + 0.002 * rng.standard_normal((HEAD, HEAD))
        b[:, lip_cols] = 0.001 * rng.standard_normal((DIM, len(lip_cols)))
        b[:, LOUD_COL] = 0.0
        self.lmdm_b = b.astype(np.float32)
        self.lmdm_bias = (0.05 * rng.standard_normal(DIM)).astype(np.float32)
        self.lmdm_bias[LOUD_COL] = 0.0
        self.stitch_k = np.float32(0.1)
        self.window = (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(512) / 512)).astype(np.float32)
        self.binmat = mel_filters()
        self.emo = (0.1 * rng.standard_normal((n_emo, 8))).astype(np.float32)
        self.eye_open = np.array([0.3, 0.3], np.float32)
        self.eye_ball = (0.01 * rng.standard_normal(6)).astype(np.float32)
        self.ch_sc = (0.05 * rng.standard_normal(KP)).astype(np.float32)
        vmin = np.full(DIM, -1.0, np.float32)
        vmax = np.full(DIM, 1.0, np.float32)
        vmin[:HEAD], vmax[:HEAD] = -2.0, 2.0
        vmin[LOUD_COL], vmax[LOUD_COL] = -0.16, 0.0
        self.v_min_max = np.stack([vmin, vmax])
        # Source rows: the target keypoints as canonical points, a gentle sway of the head.
        self.src = np.empty((nt, INFO), np.float32)
        for f in range(nt):
            ph = 2 * np.pi * f / max(nt, 1)
            exp = (0.002 * rng.standard_normal(KP)).astype(np.float32)
            self.src[f] = _info_row(xs_target[f], exp, 2.0 * np.sin(ph), 3.0 * np.cos(ph), np.sin(ph),
                                    1.0 + 0.02 * np.sin(ph), (0.01 * np.sin(ph), 0.01 * np.cos(ph), 0.0))
        self.ch = self.src[0].copy()
        self.ch[SCALE] = self.src[0, SCALE] * 1.1
        self.xs_target = xs_target.astype(np.float32)


def hubert_model(p, path, input_name="mel"):
    x = _f(input_name, [1, 21, 80])
    y = _f("feat", [1, 20, 1024])
    inits = [numpy_helper.from_array(v, n) for n, v in (
        ("w", p.hub_w), ("b", p.hub_b), ("half", np.array(0.5, np.float32)),
        ("s0", np.array([0], np.int64)), ("e0", np.array([20], np.int64)),
        ("s1", np.array([1], np.int64)), ("e1", np.array([21], np.int64)), ("ax", np.array([1], np.int64)))]
    nodes = [helper.make_node("Slice", [input_name, "s0", "e0", "ax"], ["a"]),
             helper.make_node("Slice", [input_name, "s1", "e1", "ax"], ["c"]),
             helper.make_node("Add", ["a", "c"], ["ac"]), helper.make_node("Mul", ["ac", "half"], ["avg"]),
             helper.make_node("MatMul", ["avg", "w"], ["mw"]), helper.make_node("Add", ["mw", "b"], ["feat"])]
    _save(helper.make_graph(nodes, "encoder", [x], [y], inits), path)


def lmdm_model(p, path, chunk_shape=(1, 80, FEAT), gather_oob=False):
    cond = _f("cond", [1, DIM])
    chunk = _f("chunk", list(chunk_shape))
    y = _f("motion", [1, 80, DIM])
    inits = [numpy_helper.from_array(v, n) for n, v in (
        ("a", p.lmdm_a), ("b", p.lmdm_b), ("bias", p.lmdm_bias), ("shape", np.array([1, 80, FEAT], np.int64)))]
    src, nodes = "chunk", []
    if gather_oob:  # reads chunk row 1 of a batch of one: ONNX Runtime refuses it at run time
        inits.append(numpy_helper.from_array(np.array([1], np.int64), "oob"))
        src, nodes = "picked", [helper.make_node("Gather", ["chunk", "oob"], ["picked"], axis=0)]
    nodes += [helper.make_node("Reshape", [src, "shape"], ["rows"]),
             helper.make_node("MatMul", ["rows", "a"], ["ra"]), helper.make_node("MatMul", ["cond", "b"], ["cb"]),
             helper.make_node("Add", ["ra", "cb"], ["s"]), helper.make_node("Add", ["s", "bias"], ["motion"])]
    _save(helper.make_graph(nodes, "generator", [cond, chunk], [y], inits), path)


def stitch_model(p, path):
    xs, xd = _f("xs", [1, 21, 3]), _f("xd", [1, 21, 3])
    y = _f("y", [1, KP])
    inits = [numpy_helper.from_array(np.array(p.stitch_k, np.float32), "k"),
             numpy_helper.from_array(np.array([1, KP], np.int64), "shape")]
    nodes = [helper.make_node("Sub", ["xs", "xd"], ["d"]), helper.make_node("Mul", ["d", "k"], ["dk"]),
             helper.make_node("Add", ["xd", "dk"], ["s"]), helper.make_node("Reshape", ["s", "shape"], ["y"])]
    _save(helper.make_graph(nodes, "stitch", [xs, xd], [y], inits), path)


def demo_targets(nt):
    from . import demo
    return np.tile(demo.keypoints().reshape(1, -1), (nt, 1)).astype(np.float32)


def write_motion(out, nt, xs_target_path=None, n_emo=3, s_bridge=None, delta_pitch=None, seed=0,
                 lmdm_shape=None, hubert_input="mel", unshaped=False, lmdm_gather_oob=False):
    if xs_target_path:
        xs_target = np.fromfile(xs_target_path, np.float32)
        if xs_target.size != nt * KP:
            raise SystemExit("%s: %d floats, expected nt x 63 = %d" % (xs_target_path, xs_target.size, nt * KP))
        xs_target = xs_target.reshape(nt, KP)
    else:
        xs_target = demo_targets(nt)
    p = Params(nt, xs_target, n_emo, seed)
    os.makedirs(out, exist_ok=True)
    meta = {"nt": nt, "n_src": nt, "n_emo": n_emo}
    if s_bridge is not None:
        meta["s_bridge"] = s_bridge
    if delta_pitch is not None:
        meta["delta_pitch"] = delta_pitch
    with open(os.path.join(out, "meta.json"), "w") as f:
        json.dump(meta, f, indent=1)
    for name, data in (("hubert_stft_window.bin", p.window), ("hubert_stft_binmat.bin", p.binmat),
                       ("hubert_fmean.bin", p.fmean), ("hubert_fstd.bin", p.fstd), ("emo.bin", p.emo),
                       ("ch_xs_info.bin", p.ch), ("ch_sc.bin", p.ch_sc), ("ch_eye_open.bin", p.eye_open),
                       ("ch_eye_ball.bin", p.eye_ball), ("v_min_max.bin", p.v_min_max),
                       ("src_xs_info.bin", p.src), ("xs_target.bin", p.xs_target)):
        np.ascontiguousarray(data, np.float32).tofile(os.path.join(out, name))
    _UNSHAPED[0] = unshaped
    try:
        hubert_model(p, os.path.join(out, "hubert_student.onnx"), hubert_input)
        lmdm_model(p, os.path.join(out, "lmdm.onnx"), lmdm_shape or (1, 80, FEAT), lmdm_gather_oob)
        stitch_model(p, os.path.join(out, "stitch.onnx"))
    finally:
        _UNSHAPED[0] = False
    return p


# ---------------------------------------------------------------------------------------------
# The numpy reference: the engine's computation over a whole clip (as if pushed and finished).

def ref_mel(samples, window, binmat):
    x = np.pad(samples.astype(np.float64), 256, mode="reflect")
    frames = np.stack([x[320 * j:320 * j + 512] * window for j in range(21)])
    mag = np.abs(np.fft.rfft(frames, axis=1))
    return np.log(mag @ binmat.astype(np.float64) + 1e-8)


def bin66(bins):
    e = np.exp(bins.astype(np.float64) - bins.max())
    return float((e / e.sum()) @ np.arange(66) * 3.0 - 97.5)


def rotation(p, y, r):
    p, y, r = np.radians([p, y, r])
    cp, sp, cy, sy, cr, sr = np.cos(p), np.sin(p), np.cos(y), np.sin(y), np.cos(r), np.sin(r)
    return np.array([[cy * cr, cy * sr, -sy],
                     [sp * sy * cr - cp * sr, cp * cr + sp * sy * sr, sp * cy],
                     [cp * sy * cr + sp * sr, cp * sy * sr - sp * cr, cp * cy]])


def _smooth(rows, lo, hi):
    out = rows.copy()
    n = len(rows)
    for i in range(max(lo, 0), min(hi, n)):
        a, b = max(i - 1, 0), min(i + 1, n - 1)
        out[i, :HEAD] = rows[a:b + 1, :HEAD].mean(axis=0)
    return out


def load_dir(d):
    meta = json.load(open(os.path.join(d, "meta.json")))
    rd = lambda n, *shape: np.fromfile(os.path.join(d, n), np.float32).reshape(shape)  # noqa: E731
    nt = meta["nt"]
    return meta, {"window": rd("hubert_stft_window.bin", 512), "binmat": rd("hubert_stft_binmat.bin", 257, 80),
                  "fmean": rd("hubert_fmean.bin", 1024), "fstd": rd("hubert_fstd.bin", 1024),
                  "emo": rd("emo.bin", meta["n_emo"], 8), "ch": rd("ch_xs_info.bin", INFO),
                  "ch_sc": rd("ch_sc.bin", KP), "eye_open": rd("ch_eye_open.bin", 2),
                  "eye_ball": rd("ch_eye_ball.bin", 6), "vmm": rd("v_min_max.bin", 2, DIM),
                  "src": rd("src_xs_info.bin", nt, INFO), "xs_target": rd("xs_target.bin", nt, KP)}


def reference(d, audio, start=0, direction=1, wrap=True):
    """Per frame (index, base row, drive row) for a clip pushed whole and finished."""
    meta, t = load_dir(d)
    nt = meta["nt"]
    w = {}
    for name in ("hubert_student.onnx", "lmdm.onnx", "stitch.onnx"):
        for init in onnx.load(os.path.join(d, name)).graph.initializer:
            w[name + ":" + init.name] = numpy_helper.to_array(init).astype(np.float64)
    hub_w, hub_b = w["hubert_student.onnx:w"], w["hubert_student.onnx:b"]
    lmdm_a, lmdm_b, lmdm_bias = w["lmdm.onnx:a"], w["lmdm.onnx:b"], w["lmdm.onnx:bias"]
    stitch_k = float(w["stitch.onnx:k"])
    total = (len(audio) + 639) // 640
    feats = []
    for wi in range(0, total, 5):
        win = np.zeros(6480, np.float32)
        lo, hi = max(0, wi * 640 - 2000), min(len(audio), wi * 640 + 4480)
        win[lo - (wi * 640 - 2000):hi - (wi * 640 - 2000)] = audio[lo:hi]
        mel = ref_mel(win, t["window"], t["binmat"])
        enc = (0.5 * (mel[:20] + mel[1:])) @ hub_w + hub_b
        enc = enc * t["fstd"] + t["fmean"]
        for r in range(5):
            row = np.concatenate([0.5 * (enc[6 + 2 * r] + enc[7 + 2 * r]), t["emo"][(wi + r) % meta["n_emo"]],
                                  t["eye_open"], t["eye_ball"], t["ch_sc"]])
            feats.append(row)
    feats = np.array(feats).reshape(-1, FEAT)
    ch = t["ch"]
    cond = np.concatenate([[ch[SCALE] - 1], ch[PITCH:PITCH + 66], ch[YAW:YAW + 66], ch[ROLL:ROLL + 66],
                           ch[T:T + 3], ch[EXP:EXP + KP]]).astype(np.float64)
    motion = np.zeros((0, DIM))
    c = 0
    while len(motion) < total:
        rows = feats[np.minimum(np.arange(80) + 70 * c, len(feats) - 1)]
        new = rows @ lmdm_a + cond @ lmdm_b + lmdm_bias
        if c == 0:
            motion = _smooth(new, 0, 80)
        else:
            end = len(motion)
            k = (np.arange(10) / 10.0)[:, None]
            motion[end - 10:] = (1 - k) * motion[end - 10:] + k * new[:10]
            motion = _smooth(np.concatenate([motion, new[10:]]), end - 10, end + 1)
        cond[:HEAD] = motion[len(motion) - 11, :HEAD]
        c += 1
    final = _smooth(motion[:total], 0, total)
    final = np.clip(final, t["vmm"][0], t["vmm"][1])
    gain = ch[SCALE] / t["src"][0, SCALE]
    index, d_, ref = int(np.clip(start, 0, nt - 1)), (-1 if direction < 0 else 1), None
    out = np.zeros((total, 1 + 2 * KP), np.float32)
    for i in range(total):
        if nt > 1:
            if wrap:
                index = (index + d_) % nt
            else:
                if not 0 <= index + d_ < nt:
                    d_ = -d_
                index += d_
        s = t["src"][index].astype(np.float64)
        rexp = final[i, HEAD:]
        if ref is None:
            ref = rexp.copy()
        exp = s[EXP:EXP + KP].copy()
        for k in LIP:
            exp[3 * k:3 * k + 3] = s[3 * k:3 * k + 3] + (rexp[3 * k:3 * k + 3] - ref[3 * k:3 * k + 3]) * gain
        pitch, yaw, roll = bin66(s[PITCH:PITCH + 66]), bin66(s[YAW:YAW + 66]), bin66(s[ROLL:ROLL + 66])
        rs, rd = rotation(pitch, yaw, roll), rotation(pitch + meta.get("delta_pitch", 0.0), yaw, roll)
        x = s[KPS:KPS + KP].reshape(21, 3)
        tt = np.array([s[T], s[T + 1], 0.0])
        xs = ((x @ rs + s[EXP:EXP + KP].reshape(21, 3)) * s[SCALE] + tt).reshape(-1)
        xd = ((x @ rd + exp.reshape(21, 3)) * s[SCALE] + tt).reshape(-1)
        y = xd + stitch_k * (xs - xd)
        base = t["xs_target"][index].astype(np.float64)
        out[i, 0] = index
        out[i, 1:1 + KP] = base
        out[i, 1 + KP:] = base + (y - xs) * meta.get("s_bridge", 1.0)
    return out


def motion_ref(a):
    audio = np.fromfile(a.audio, np.float32)
    reference(a.dir, audio, a.start, a.direction, bool(a.wrap)).tofile(a.out)


def register(sub):
    p = sub.add_parser("motion", help="a motion directory for the audio-to-motion engine")
    p.add_argument("out")
    p.add_argument("--nt", type=int, required=True, help="source frames (the bundle's NT)")
    p.add_argument("--xs-target", help="the bundle's xs_target.bin to copy (default: the demo face)")
    p.add_argument("--n-emo", type=int, default=3)
    p.add_argument("--s-bridge", type=float)
    p.add_argument("--delta-pitch", type=float)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--lmdm-shape", help="declared chunk shape, e.g. 1,88240 or 1,80,1000")
    p.add_argument("--hubert-input", default="mel", help="the encoder's input name")
    p.add_argument("--unshaped", action="store_true", help="model inputs and outputs without a declared shape")
    p.add_argument("--lmdm-gather-oob", action="store_true", help="a generator that fails inside ONNX Runtime")
    p.set_defaults(func=lambda a: write_motion(
        a.out, a.nt, a.xs_target, a.n_emo, a.s_bridge, a.delta_pitch, a.seed,
        tuple(int(v) for v in a.lmdm_shape.split(",")) if a.lmdm_shape else None, a.hubert_input,
        a.unshaped, a.lmdm_gather_oob) and None)
    r = sub.add_parser("motion-ref", help="numpy reference frames of a motion directory over float32 audio")
    r.add_argument("dir")
    r.add_argument("audio")
    r.add_argument("out")
    r.add_argument("--start", type=int, default=0)
    r.add_argument("--direction", type=int, default=1)
    r.add_argument("--wrap", type=int, default=1)
    r.set_defaults(func=motion_ref)
