"""Audio models: the shared audio encoders, the audio-to-expression members of a bundle, the FCA model,
and numpy references of everything they compute.

Commands:

  forge.py a2x BUNDLE_DIR W2V_DIR [--legacy-only] [--width] [--h 16] [--window 1] [--left 4]
           [--layers 2] [--pos-rows 400] [--silence-prime N] [--pair window|legacy32] [--nt 50]
      Writes into the existing bundle directory BUNDLE_DIR: a2x_meta.json, a2x_pos.f32,
      a2x_norm.f32, a2x_enc_stream.onnx, a2x_dec.onnx and fca_stream.onnx (and xs_target.bin, the
      demo face repeated --nt times, when the bundle has none). Writes into W2V_DIR: w2v.onnx (the
      legacy 8 s encoder; point $W2V_ONNX at it) and, unless --legacy-only, the short-window pair
      audio_encoder_fp16_window_{trunk,head}.onnx (or w2v_{trunk,head}32.onnx with --pair legacy32).
      For the demo avatar: forge.py demo OUT && forge.py a2x OUT/bundle OUT/w2v, then
      W2V_ONNX=OUT/w2v/w2v.onnx (a container packed before the a2x members were written does not
      carry them: write them first, or open the bundle directory). Its mouth opens with the loudness of the speech and stays shut in
      silence. --probe (with --window 0 --left 0) writes an encoder and decoder that pass features
      through, for tests of the front ends.

  forge.py a2x-ref MODE BUNDLE_DIR W2V_DIR AUDIO.f32 OUT.f32 [--right 12] [--prime N]
      numpy reference rows (63 floats per frame, the delta added to the base row) for raw float32
      audio: MODE clip (whole-clip deltas), short / legacy (a finished stream on that front end),
      fca (FCA deltas, fca_stream.onnx of the bundle), features-clip / features-short /
      features-legacy (the 12 x 768 features per frame of those three). A width file OUT.wn.f32 is written beside when the encoder has one.

The models, all float32 unless said:
  legacy w2v  "input_values" [1,128000] -> "audio_emb" [12,200,768]. Per trunk step j (hop 80,
              640 samples wide, the window zero-padded by 560 at the end, 1600 steps) three
              statistics s: mean x, mean |x|, mean x^2, each as tanh(3 s). Frame i of the window
              interpolates steps at i * 1598 / 199 linearly; features = stats @ PROJ, PROJ [3, 12 x 768] (mean |x| weighs
              1 + 0.05 l in layer l, so louder speech gives larger features).
  trunk       "input_values" [1,32000] -> "trunk_out" float16 [1,640,400]: the same statistics per
              step in channels 0..2, zeros elsewhere.
  head        "x" [8,640] -> "emb" [8,12,768] = x[:, :3] @ PROJ.
  encoder     "feat" [1,T,12,768], "pos_window" [1,T,H], "attn" [1,1,T,T] -> "enc_out" [1,T,H]
              = softmax(attn) @ (mean over layers of feat) @ WE + pos_window (the masked mean over
              each frame's window), and with --width "wn" [1,T] = mean over H of enc_out.
  decoder     "ctx_t" [1,H], "prev" [1,63], "h" [1,1,H] -> hn = 0.5 h + 0.5 ctx_t,
              "m" = hn @ WD + 0.1 prev, "h_out" = hn. Row 0 of WD opens the lips (keypoints 17
              up, 18 down, corners 15/16 in); the other rows move the nose a little.
  fca_stream  "cond" [1,5376], "prev" [1,63], "h" [1,1,384] -> c = (cond as [7,768]) @ WC [768,64]
              flattened, first 384; hn = 0.5 h + 0.5 c; "m" = hn @ WM + 0.1 prev; "hn".
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

KP = 63
LAYERS, DIM = 12, 768
HOP, STEP, WIDE = 640, 80, 640
WIN, TRUNK = 128000, 32000
PAD = 560
NSTAT = 3
GAIN = 3.0  # statistics pass through tanh(GAIN * s): loud speech saturates, so window statistics matter less
FCA_H = 384
LIPS = {52: -0.05, 55: 0.10, 45: 0.03, 48: -0.03}  # kp17.y up, kp18.y down, corners in


def _rng(tag):
    return np.random.default_rng(sum(map(ord, tag)) * 7919)


def proj():
    r = _rng("proj")
    w = np.empty((NSTAT, LAYERS, DIM), np.float32)
    w[0] = 0.3 * r.standard_normal((LAYERS, DIM))
    w[1] = (1.0 + 0.05 * np.arange(LAYERS, dtype=np.float32))[:, None]
    w[2] = 0.2 * r.standard_normal((LAYERS, DIM))
    return w.reshape(NSTAT, LAYERS * DIM).astype(np.float32)


def enc_weights(h):
    r = _rng("enc")
    we = (0.05 * r.standard_normal((DIM, h))).astype(np.float32)
    we[:, 0] = 1.0 / DIM
    return we


def pos_table(rows, h):
    p = np.arange(rows, dtype=np.float64)[:, None]
    k = np.arange(h, dtype=np.float64)[None, :]
    t = 0.05 * np.sin(0.3 * p * (k + 1) / h * 4 + k)
    t[:, 0] = 0.0
    return t.astype(np.float32)


def norm_table():
    scale = (1.0 + 0.5 * (np.arange(KP) % 2)).astype(np.float32)
    mean = np.zeros(KP, np.float32)
    mean[2:36:3] = 0.001  # z of the outline keypoints 0..11
    return mean, scale


def dec_weights(h):
    r = _rng("dec")
    _, scale = norm_table()
    wd = np.zeros((h, KP), np.float32)
    for k, v in LIPS.items():
        wd[0, k] = v
    wd[1:, 42] = 0.005 * r.standard_normal(h - 1)
    wd[1:, 43] = 0.005 * r.standard_normal(h - 1)
    return (wd / scale[None, :]).astype(np.float32)


def fca_weights():
    r = _rng("fca")
    wc = (0.02 * r.standard_normal((DIM, 64))).astype(np.float32)
    wc[:, 0] = 1.0 / DIM
    wm = np.zeros((FCA_H, KP), np.float32)
    for k, v in LIPS.items():
        wm[64, k] = v  # row of offset 0, loudness column
    wm[:, 42] = 0.001 * r.standard_normal(FCA_H)
    wm[64, 42] = 0.0
    return wc, wm


def interp_table():
    """Legacy frame i of a window reads trunk steps i0, i0 + 1 with weights w0, w1."""
    i = np.arange(200)
    i0 = (i * 1598) // 199
    t = ((i * 1598) % 199) / 199.0
    i1 = np.minimum(i0 + 1, 1598)
    return i0.astype(np.int64), i1.astype(np.int64), (1.0 - t).astype(np.float32), t.astype(np.float32)


# ---------------------------------------------------------------------------------------------- graphs

def _init(name, arr):
    return numpy_helper.from_array(np.asarray(arr), name)


def _model(nodes, name, inputs, outputs, inits, path):
    graph = helper.make_graph(nodes, name, inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="ka-forge")
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)


def _stats_nodes(n_in, prefix, free=False):
    """input_values [1, n_in] -> prefix + 'st' [1, 3, (n_in + PAD - WIDE) / STEP + 1]."""
    nodes = [
        helper.make_node("Abs", ["input_values"], [prefix + "abs"]),
        helper.make_node("Mul", ["input_values", "input_values"], [prefix + "sq"]),
        helper.make_node("Concat", ["input_values", prefix + "abs", prefix + "sq"], [prefix + "cat"], axis=0),
        helper.make_node("Reshape", [prefix + "cat", prefix + "shape3"], [prefix + "x3"]),
        helper.make_node("Pad", [prefix + "x3", prefix + "pads"], [prefix + "xp"]),
        helper.make_node("Conv", [prefix + "xp", prefix + "box"], [prefix + "raw"], group=NSTAT, strides=[STEP],
                         kernel_shape=[WIDE]),
        helper.make_node("Mul", [prefix + "raw", prefix + "gain"], [prefix + "lin"]),
        helper.make_node("Tanh", [prefix + "lin"], [prefix + "st"]),
    ]
    inits = [_init(prefix + "shape3", np.array([1, NSTAT, -1 if free else n_in], np.int64)),
             _init(prefix + "pads", np.array([0, 0, 0, 0, 0, PAD], np.int64)),
             _init(prefix + "box", np.full((NSTAT, 1, WIDE), 1.0 / WIDE, np.float32)),
             _init(prefix + "gain", np.array(GAIN, np.float32))]
    return nodes, inits


def legacy_w2v(path, frames=200, bad_input=False, samples=WIN):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    nodes, inits = _stats_nodes(samples, "")
    i0, i1, w0, w1 = interp_table()
    nodes += [
        helper.make_node("Gather", ["st", "i0"], ["g0"], axis=2),
        helper.make_node("Gather", ["st", "i1"], ["g1"], axis=2),
        helper.make_node("Mul", ["g0", "w0"], ["a0"]),
        helper.make_node("Mul", ["g1", "w1"], ["a1"]),
        helper.make_node("Add", ["a0", "a1"], ["fr"]),  # [1, 3, 200]
        helper.make_node("Reshape", ["fr", "shape2"], ["fr2"]),
        helper.make_node("Transpose", ["fr2"], ["frT"], perm=[1, 0]),
        helper.make_node("MatMul", ["frT", "proj"], ["emb"]),
        helper.make_node("Reshape", ["emb", "shape_e"], ["emb3"]),
        helper.make_node("Transpose", ["emb3"], ["audio_emb"], perm=[1, 0, 2]),
    ]
    inits += [_init("i0", i0), _init("i1", i1), _init("w0", w0), _init("w1", w1),
              _init("shape2", np.array([NSTAT, 200], np.int64)), _init("proj", proj()),
              _init("shape_e", np.array([200, LAYERS, DIM], np.int64))]
    name = "input_wrong" if bad_input else "input_values"
    if bad_input:
        nodes.insert(0, helper.make_node("Identity", ["input_wrong"], ["input_values"]))
    _model(nodes, "w2v_legacy", [helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, samples])],
           [helper.make_tensor_value_info("audio_emb", TensorProto.FLOAT, [LAYERS, frames, DIM])], inits, path)


def trunk(path, free_lt=False):
    nodes, inits = _stats_nodes(TRUNK, "", free_lt)
    nodes += [helper.make_node("Pad", ["st", "cpads"], ["st640"]),
              helper.make_node("Cast", ["st640"], ["trunk_out"], to=TensorProto.FLOAT16)]
    inits.append(_init("cpads", np.array([0, 0, 0, 0, 640 - NSTAT, 0], np.int64)))
    lt = (TRUNK + PAD - WIDE) // STEP + 1
    _model(nodes, "w2v_trunk",
           [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, "n" if free_lt else TRUNK])],
           [helper.make_tensor_value_info("trunk_out", TensorProto.FLOAT16, [1, 640, "lt" if free_lt else lt])],
           inits, path)


def head(path):
    nodes = [helper.make_node("Slice", ["x", "s0", "s1", "sax"], ["xs"]),
             helper.make_node("MatMul", ["xs", "proj"], ["e"]),
             helper.make_node("Reshape", ["e", "shape"], ["emb"])]
    inits = [_init("s0", np.array([0], np.int64)), _init("s1", np.array([NSTAT], np.int64)),
             _init("sax", np.array([1], np.int64)), _init("proj", proj()),
             _init("shape", np.array([8, LAYERS, DIM], np.int64))]
    _model(nodes, "w2v_head", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [8, 640])],
           [helper.make_tensor_value_info("emb", TensorProto.FLOAT, [8, LAYERS, DIM])], inits, path)


def encoder(path, h, width):
    nodes = [helper.make_node("ReduceMean", ["feat"], ["v"], axes=[2], keepdims=0),
             helper.make_node("MatMul", ["v", "we"], ["u"]),
             helper.make_node("Softmax", ["attn"], ["sm"], axis=-1),
             helper.make_node("Squeeze", ["sm", "ax1"], ["wts"]),
             helper.make_node("MatMul", ["wts", "u"], ["mix"]),
             helper.make_node("Add", ["mix", "pos_window"], ["enc_out"])]
    outputs = [helper.make_tensor_value_info("enc_out", TensorProto.FLOAT, [1, "T", h])]
    if width:
        nodes.append(helper.make_node("ReduceMean", ["enc_out"], ["wn"], axes=[2], keepdims=0))
        outputs.append(helper.make_tensor_value_info("wn", TensorProto.FLOAT, [1, "T"]))
    inputs = [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, "T", LAYERS, DIM]),
              helper.make_tensor_value_info("pos_window", TensorProto.FLOAT, [1, "T", h]),
              helper.make_tensor_value_info("attn", TensorProto.FLOAT, [1, 1, "T", "T"])]
    _model(nodes, "a2x_enc", inputs, outputs, [_init("we", enc_weights(h)), _init("ax1", np.array([1], np.int64))],
           path)


def _recurrent(path, name, ctx_name, ctx_dims, hdim, pre_nodes, pre_inits, wm, hout):
    nodes = pre_nodes + [
        helper.make_node("Reshape", ["h", "hshape"], ["hr"]),
        helper.make_node("Mul", ["hr", "half"], ["ha"]),
        helper.make_node("Mul", ["ctx", "half"], ["hb"]),
        helper.make_node("Add", ["ha", "hb"], ["hn2"]),
        helper.make_node("MatMul", ["hn2", "wm"], ["mm"]),
        helper.make_node("Mul", ["prev", "tenth"], ["pp"]),
        helper.make_node("Add", ["mm", "pp"], ["m"]),
        helper.make_node("Reshape", ["hn2", "hshape3"], [hout])]
    inits = pre_inits + [_init("hshape", np.array([1, hdim], np.int64)), _init("hshape3", np.array([1, 1, hdim], np.int64)),
                         _init("half", np.array(0.5, np.float32)), _init("tenth", np.array(0.1, np.float32)),
                         _init("wm", wm)]
    inputs = [helper.make_tensor_value_info(ctx_name, TensorProto.FLOAT, ctx_dims),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, KP]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, hdim])]
    outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, KP]),
               helper.make_tensor_value_info(hout, TensorProto.FLOAT, [1, 1, hdim])]
    _model(nodes, name, inputs, outputs, inits, path)


def probe_models(bundle_dir, h):
    """A probe pair that passes features through exactly: the encoder's output row t is the first h
    channels of layer 0 of frame t (with window = left = 0 the softmax weight is exactly 1) plus the
    position row; the decoder's "m" is that row zero-padded to 63 values. With a zero position table
    and an identity norm, each pulled delta row shows the frame's raw features."""
    nodes = [helper.make_node("Slice", ["feat", "b0", "b1", "bax"], ["f0"]),
             helper.make_node("Reshape", ["f0", "fshape"], ["u"]),
             helper.make_node("Softmax", ["attn"], ["sm"], axis=-1),
             helper.make_node("Squeeze", ["sm", "ax1"], ["wts"]),
             helper.make_node("MatMul", ["wts", "u"], ["mix"]),
             helper.make_node("Add", ["mix", "pos_window"], ["enc_out"])]
    inits = [_init("b0", np.array([0, 0], np.int64)), _init("b1", np.array([1, h], np.int64)),
             _init("bax", np.array([2, 3], np.int64)), _init("fshape", np.array([1, -1, h], np.int64)),
             _init("ax1", np.array([1], np.int64))]
    inputs = [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, "T", LAYERS, DIM]),
              helper.make_tensor_value_info("pos_window", TensorProto.FLOAT, [1, "T", h]),
              helper.make_tensor_value_info("attn", TensorProto.FLOAT, [1, 1, "T", "T"])]
    _model(nodes, "a2x_enc_probe", inputs, [helper.make_tensor_value_info("enc_out", TensorProto.FLOAT, [1, "T", h])],
           inits, os.path.join(bundle_dir, "a2x_enc_stream.onnx"))
    nodes = [helper.make_node("Pad", ["ctx_t", "pads"], ["m"]), helper.make_node("Identity", ["h"], ["h_out"])]
    inputs = [helper.make_tensor_value_info("ctx_t", TensorProto.FLOAT, [1, h]),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, KP]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, h])]
    outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, KP]),
               helper.make_tensor_value_info("h_out", TensorProto.FLOAT, [1, 1, h])]
    _model(nodes, "a2x_dec_probe", inputs, outputs, [_init("pads", np.array([0, 0, 0, KP - h], np.int64))],
           os.path.join(bundle_dir, "a2x_dec.onnx"))
    np.zeros((400, h), np.float32).tofile(os.path.join(bundle_dir, "a2x_pos.f32"))
    np.concatenate([np.zeros(KP), np.ones(KP)]).astype(np.float32).tofile(os.path.join(bundle_dir, "a2x_norm.f32"))


def decoder(path, h):
    _recurrent(path, "a2x_dec", "ctx_t", [1, h], h, [helper.make_node("Identity", ["ctx_t"], ["ctx"])], [],
               dec_weights(h), "h_out")


def fca_model(path):
    wc, wm = fca_weights()
    pre = [helper.make_node("Reshape", ["cond", "c7"], ["c7r"]),
           helper.make_node("MatMul", ["c7r", "wc"], ["cw"]),
           helper.make_node("Reshape", ["cw", "cflat"], ["cf"]),
           helper.make_node("Slice", ["cf", "z0", "z1", "zax"], ["ctx"])]
    inits = [_init("c7", np.array([7, DIM], np.int64)), _init("wc", wc), _init("cflat", np.array([1, 7 * 64], np.int64)),
             _init("z0", np.array([0], np.int64)), _init("z1", np.array([FCA_H], np.int64)),
             _init("zax", np.array([1], np.int64))]
    _recurrent(path, "fca_stream", "cond", [1, 7 * DIM], FCA_H, pre, inits, wm, "hn")


# ---------------------------------------------------------------------------------------------- command

def write_a2x(bundle_dir, w2v_dir, legacy_only=False, width=False, h=16, window=1, left=4, layers=2,
              pos_rows=400, silence_prime=0, pair="window", nt=50, meta_width=None, free_lt=False, probe=False):
    os.makedirs(w2v_dir, exist_ok=True)
    os.makedirs(bundle_dir, exist_ok=True)
    meta = {"h": h, "window": window, "left": left, "layers": layers,
            "width": bool(width) if meta_width is None else meta_width, "silence_prime": silence_prime}
    with open(os.path.join(bundle_dir, "a2x_meta.json"), "w") as f:
        json.dump(meta, f, indent=1)
    pos_table(pos_rows, h).tofile(os.path.join(bundle_dir, "a2x_pos.f32"))
    mean, scale = norm_table()
    np.concatenate([mean, scale]).astype(np.float32).tofile(os.path.join(bundle_dir, "a2x_norm.f32"))
    target = os.path.join(bundle_dir, "xs_target.bin")
    if not os.path.exists(target):
        from . import demo
        np.tile(demo.keypoints().reshape(1, -1), (nt, 1)).astype(np.float32).tofile(target)
    encoder(os.path.join(bundle_dir, "a2x_enc_stream.onnx"), h, width)
    decoder(os.path.join(bundle_dir, "a2x_dec.onnx"), h)
    fca_model(os.path.join(bundle_dir, "fca_stream.onnx"))
    legacy_w2v(os.path.join(w2v_dir, "w2v.onnx"))
    if not legacy_only:
        names = {"window": ("audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"),
                 "legacy32": ("w2v_trunk32.onnx", "w2v_head32.onnx")}[pair]
        trunk(os.path.join(w2v_dir, names[0]), free_lt)
        head(os.path.join(w2v_dir, names[1]))
    if probe:
        probe_models(bundle_dir, h)


# ---------------------------------------------------------------------------------------------- references

def f16(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float32)


def normalise(x):
    x = np.asarray(x, np.float32)
    m = x.astype(np.float64).mean()
    v = ((x.astype(np.float64) - m) ** 2).mean()
    sd = np.float32(np.sqrt(np.float32(v + 1e-7)))
    return ((x - np.float32(m)) / sd).astype(np.float32)


def step_stats(x):
    """[3, steps] statistics of a normalised buffer (zero-padded by PAD)."""
    xp = np.concatenate([x.astype(np.float64), np.zeros(PAD)])
    steps = (len(xp) - WIDE) // STEP + 1
    out = np.empty((NSTAT, steps))
    for s, ch in enumerate((xp, np.abs(xp), xp * xp)):
        c = np.concatenate([[0.0], np.cumsum(ch)])
        idx = np.arange(steps) * STEP
        out[s] = (c[idx + WIDE] - c[idx]) / WIDE
    return np.tanh(np.float32(GAIN) * out.astype(np.float32)).astype(np.float32)


def legacy_window(x):
    """12 x 200 x 768 of one normalised window."""
    st = step_stats(x)
    i0, i1, w0, w1 = interp_table()
    fr = st[:, i0] * w0 + st[:, i1] * w1
    return (fr.T @ proj()).reshape(200, LAYERS, DIM).transpose(1, 0, 2)


def window_at(audio, start, n, horizon=None):
    lim = len(audio) if horizon is None else min(horizon, len(audio))
    out = np.zeros(n, np.float32)
    lo, hi = max(start, 0), min(start + n, lim)
    if hi > lo:
        out[lo - start:hi - start] = audio[lo:hi]
    return out


def features_clip(audio, F):
    feats = np.zeros((F, LAYERS, DIM), np.float32)
    have = 0
    for ws in range(0, F, 100):
        emb = legacy_window(normalise(window_at(audio, ws * HOP, WIN)))
        lo, hi = max(have, 0 if ws == 0 else ws + 50), min(F, ws + 200)
        for f in range(lo, hi):
            feats[f] = f16(emb[:, f - ws])
        have = max(have, hi)
    return feats


def features_legacy_stream(audio, F, right):
    """A finished legacy stream: each frame from the run at the first whole 320 ms block boundary
    that makes it final, the rest from runs over the whole audio."""
    n = len(audio)
    feats = np.zeros((F, LAYERS, DIM), np.float32)
    filled, ws = 0, 0
    while filled < F:
        end = ws + 200
        k = (filled + right) // 8 + 1
        if k * 5120 <= n:
            horizon, limit = k * 5120, min(end, 8 * k - right)
        else:
            horizon, limit = n, min(end, F)
        emb = legacy_window(normalise(window_at(audio, ws * HOP, WIN, horizon)))
        for f in range(max(filled, 0 if ws == 0 else ws + 50), limit):
            feats[f] = f16(emb[:, f - ws])
        filled = max(filled, limit)
        if limit >= end:
            ws += 100
    return feats


def features_short(audio, F, right):
    feats = np.zeros((F, LAYERS, DIM), np.float32)
    p = proj()
    for s in range(0, F, 8):
        e = (s + 8 + right) * HOP
        x = normalise(window_at(audio, e - TRUNK, TRUNK))
        st = np.zeros((640, (TRUNK + PAD - WIDE) // STEP + 1), np.float32)
        st[:NSTAT] = step_stats(x)
        v = st.astype(np.float16).astype(np.float64)
        lt = v.shape[1]
        rows = np.zeros((8, 640), np.float32)
        for j in range(8):
            f = s + j
            base, i = 0, f
            if f >= 200:
                kk = f // 100 - 1
                base, i = kk * 100 * HOP, f - kk * 100
            pos = (base - (e - TRUNK)) / 80.0 + i * 8.030150753768844
            i0 = int(np.floor(pos))
            i1, t = min(i0 + 1, lt - 1), pos - i0
            rows[j] = ((1.0 - t) * v[:, i0] + t * v[:, i1]).astype(np.float32)
        rows = f16(rows)
        emb = (rows[:, :NSTAT] @ p).reshape(8, LAYERS, DIM)
        for j in range(8):
            if s + j < F:
                feats[s + j] = f16(emb[j])
    return feats


def load_meta(bundle):
    with open(os.path.join(bundle, "a2x_meta.json")) as f:
        return json.load(f)


def encode(feats, meta, pos):
    F = len(feats)
    h, window, left = meta["h"], meta["window"], meta["left"]
    P = len(pos)
    u = feats.mean(axis=1) @ enc_weights(h)
    out = np.zeros((F, h), np.float32)
    for f in range(F):
        lim = P if f < P else F
        lo, hi = max(0, f - left), min(f + window, lim - 1, F - 1)
        row = f if f < P else (f - P) % (P - P // 2) + P // 2
        out[f] = u[lo:hi + 1].mean(axis=0) + pos[row]
    return out


def decode(ctx, h, prev=None, state=None):
    mean, scale = norm_table()
    wd = dec_weights(h)
    prev = np.zeros(KP, np.float32) if prev is None else prev
    state = np.zeros(h, np.float32) if state is None else state
    rows = np.zeros((len(ctx), KP), np.float32)
    for f in range(len(ctx)):
        state = (np.float32(0.5) * state + np.float32(0.5) * ctx[f]).astype(np.float32)
        prev = (state @ wd + np.float32(0.1) * prev).astype(np.float32)
        rows[f] = prev * scale + mean
    return rows, prev, state


def fca_ref(audio):
    n = len(audio)
    F = (n + 639) // 640
    if F == 0:
        return np.zeros((0, KP), np.float32)
    feat = np.zeros((F, DIM), np.float32)
    have = 0
    for ws in range(0, F, 100):
        emb = legacy_window(normalise(window_at(audio, ws * HOP, WIN)))
        lo, hi = max(have, 0 if ws == 0 else ws + 50), min(F, ws + 200)
        for f in range(lo, hi):
            feat[f] = emb[4:10, f - ws].astype(np.float32).sum(axis=0) / np.float32(6)
        have = max(have, hi)
    v = np.sqrt((feat.astype(np.float64) ** 2).sum(axis=1))
    cond = np.zeros_like(feat)
    qsum, qn = np.zeros(DIM, np.float64), 0
    for t in range(F):
        if t < 7:
            join = v[t] > 0
        else:
            s = np.sort(v[:t + 1])
            p = 0.2 * t
            lo = int(np.floor(p))
            hi = min(lo + 1, t)
            q = s[lo] + (p - lo) * (s[hi] - s[lo])
            join = v[t] <= q
        if join:
            qsum += feat[t]
            qn += 1
        cond[t] = feat[t] - (qsum / max(1, qn)).astype(np.float32)
    wc, wm = fca_weights()
    prev, state = np.zeros(KP, np.float32), np.zeros(FCA_H, np.float32)
    out = np.zeros((F, KP), np.float32)
    for t in range(F):
        rows = [cond[min(max(t + o, 0), F - 1)] for o in range(-1, 6)]
        c = (np.stack(rows) @ wc).reshape(-1)[:FCA_H]
        state = (np.float32(0.5) * state + np.float32(0.5) * c).astype(np.float32)
        prev = (state @ wm + np.float32(0.1) * prev).astype(np.float32)
        out[t] = prev
    return out


def reference(mode, bundle, audio_path, out_path, right=12, prime=0):
    audio = np.fromfile(audio_path, np.float32)
    F = (len(audio) + 639) // 640
    if mode == "fca":
        fca_ref(audio).tofile(out_path)
        return
    meta = load_meta(bundle)
    feats = {"clip": lambda: features_clip(audio, F), "features-clip": lambda: features_clip(audio, F),
             "legacy": lambda: features_legacy_stream(audio, F, right),
             "features-legacy": lambda: features_legacy_stream(audio, F, right),
             "short": lambda: features_short(audio, F, right),
             "features-short": lambda: features_short(audio, F, right)}[mode]()
    if mode.startswith("features"):
        feats.tofile(out_path)
        return
    pos = np.fromfile(os.path.join(bundle, "a2x_pos.f32"), np.float32).reshape(-1, meta["h"])
    prev = state = None
    if prime > 0:
        T = min(prime, 200)
        sil = np.stack([f16(legacy_window(np.zeros(WIN, np.float32))[:, f]) for f in range(T)])
        _, prev, state = decode(encode(sil, meta, pos), meta["h"])
    ctx = encode(feats, meta, pos)
    rows, _, _ = decode(ctx, meta["h"], prev, state)
    rows.tofile(out_path)
    if os.path.exists(os.path.join(bundle, "a2x_enc_stream.onnx")) and meta.get("width"):
        ctx.mean(axis=1).astype(np.float32).tofile(out_path[:-4] + ".wn.f32")


def register(sub):
    p = sub.add_parser("a2x", help="audio-to-expression members into a bundle and the audio encoders into a directory")
    p.add_argument("bundle_dir")
    p.add_argument("w2v_dir")
    p.add_argument("--legacy-only", action="store_true", help="no short-window pair")
    p.add_argument("--width", action="store_true", help="the encoder has the width output")
    p.add_argument("--meta-width", default=None, help="the meta's width value as written (default: --width)")
    p.add_argument("--h", type=int, default=16)
    p.add_argument("--window", type=int, default=1)
    p.add_argument("--left", type=int, default=4)
    p.add_argument("--layers", type=int, default=2)
    p.add_argument("--pos-rows", type=int, default=400)
    p.add_argument("--silence-prime", type=int, default=0)
    p.add_argument("--pair", choices=("window", "legacy32"), default="window")
    p.add_argument("--free-lt", action="store_true", help="the trunk does not declare its step count")
    p.add_argument("--probe", action="store_true", help="encoder and decoder that pass features through (see probe_models)")
    p.add_argument("--nt", type=int, default=50, help="rows of xs_target.bin when the bundle has none")
    p.set_defaults(func=lambda a: write_a2x(
        a.bundle_dir, a.w2v_dir, a.legacy_only, a.width, a.h, a.window, a.left, a.layers, a.pos_rows,
        a.silence_prime, a.pair, a.nt, None if a.meta_width is None else json.loads(a.meta_width), a.free_lt,
        a.probe))
    r = sub.add_parser("a2x-ref", help="numpy reference rows of the forged audio models")
    r.add_argument("mode", choices=("clip", "legacy", "short", "fca", "features-clip", "features-short",
                                    "features-legacy"))
    r.add_argument("bundle_dir")
    r.add_argument("w2v_dir")
    r.add_argument("audio")
    r.add_argument("out")
    r.add_argument("--right", type=int, default=12)
    r.add_argument("--prime", type=int, default=0)
    r.set_defaults(func=lambda a: reference(a.mode, a.bundle_dir, a.audio, a.out, a.right, a.prime))
    b = sub.add_parser("bad-w2v", help="a legacy encoder whose input is misnamed (or, with --samples, sized wrongly)")
    b.add_argument("out")
    b.add_argument("--samples", type=int, default=0, help="declare and take this many samples instead")
    b.set_defaults(func=lambda a: legacy_w2v(a.out, bad_input=not a.samples, samples=a.samples or WIN))
