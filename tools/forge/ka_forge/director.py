"""Synthetic director models: keypoints in, a C x C face crop out.

Two families, both with static shapes (batch B fixed per model, crop C from the bundle):

m4b      inputs  "pooled64" [B,64,32,32], "P_rgb" [B,3,C,C], "kp_driving" [B,21,3], "kp_source" [B,21,3]
FeatSynth inputs "fs_red" [B,64,64,64], "pooled" [B,64,32,32], "kd" [B,21,3], "ks" [B,21,3]
both     output  "rgb" [B,3,C,C], every value in [0, 1]

Keypoints are (x, y, z) in the crop's normalised space: pixel column i has its centre at
x = (2i + 1) / C - 1 (so the crop spans [-1, 1]); z is ignored. Rows follow the forge's face layout
(identity.face_keypoints): 0-11 face outline, 12-13 eyes, 14 nose, 15-16 mouth corners, 17 upper
lip, 18 lower lip, 19-20 brows. Batch items never mix.

What a model computes, per batch item (kd = driving keypoints, ks = source keypoints; u = the
pixel-centre coordinates above, for columns and rows alike):

1. Image. m4b: the warp prior P_rgb. FeatSynth: a face drawn from ks - background colour BG, a
   soft skin ellipse spanning the outline keypoints, Gaussian blobs for eyes, nose, lips and brows -
   plus 0.03 x the channel mean of fs_red, bilinearly resized to C.
2. Grid. d_k = kd_k - ks_k (x and y); D(p) = sum_k exp(-|p - kd_k|^2 / (2 WARP_SIGMA^2)) d_k;
   the grid samples the image at p - D(p) (a backward warp that carries the neighbourhood of each
   source keypoint to its driving position). With kd == ks the grid is exactly the identity grid.
3. Warp. m4b: a cubic resampling of P_rgb written as bilinear sampling of four planes per colour
   (the value and its second differences in x, y and xy, edge-clamped), recombined with the grid's
   fractional parts (see _warp_m4b). FeatSynth: a bilinear GridSample of the drawn face. Either is
   clipped to [0, 1] ("warped").
4. Mouth. a = an ellipse around the driving mouth keypoints (the compose alpha, soft edge, over-
   covering the lips). opening = max(0, (kd18.y - kd17.y) - (ks18.y - ks17.y)); a dark cavity with
   a band of teeth at its top grows between the lips with the opening (it is exactly absent when
   opening is 0). composed = (1 - a) * warped + a * mouth_image, where mouth_image is warped with
   the cavity painted in.
5. Head. A small residual from the pooled features (1x1 projection to 4 channels, a per-channel
   bias of zeros, cubic x2 resize to 64 x 64, 3x3 convolution to RGB, bilinear resize to C) and
   a per-image colour shift (spatial mean of the pooled features through the 64 x 3 "/s2/blend"
   MatMul). Both are zero when the pooled features are zero; for unit-variance features they add
   about 0.006 (standard deviation) and stay below 0.05.
6. rgb = clip(composed + residual + shift, 0, 1).

Properties a test can rely on:
- m4b with pooled64 = 0 and kd == ks: rgb equals clip(P_rgb, 0, 1) up to float round-off (1e-5).
- FeatSynth with pooled = 0 and fs_red = 0: the crop's corners are BG (to 1e-5) whatever the
  keypoints, as long as they stay inside the crop.
- Moving the driving mouth keypoints changes pixels around the mouth only; pixels farther than
  about 5 * WARP_SIGMA (normalised) from every moved keypoint and outside the mouth ellipse do not
  change at all.
- Weights depend on the seed only, so models of different batch sizes (or variants) compute the
  same per-item function.

Graph structure that load-time rewrites look for (absent with --no-patterns):
- m4b source cone: "P_rgb" -> Pad(edge, 1) -> three depthwise 3x3 Convs (second differences in
  x, y, xy) -> one Concat(P_rgb, dxx, dyy, dxy) of 12 channels ("/cone/concat"), the only Concat
  that reads "P_rgb" and the only reader of P_rgb besides the Pad. It depends on P_rgb and
  initializers only.
- One GridSample ("/warp/GridSample") reads that Concat (FeatSynth: the drawn face), attributes
  mode "bilinear" ("linear" at opset 20), padding_mode "border", align_corners 0; the grid is a
  Concat of the keypoint-driven x and y fields.
- m4b recombination: four Slices of the sampled 12 channels (A0..A3, three channels each), then
  Mul/Sub/Add only: out = (Nx*Ny)*A3 + ((A0 - Nx*A1) - Ny*A2), where Nx = (1 - tx)*tx*0.5 with
  tx the fractional part of ((1 + gx)*C - 1)*0.5 (Ny likewise from gy). Its single exit is read by
  a Clip ("/warp/clamp"), so the Mul/Sub/Add closure stops there.
- "/s2/blend": MatMul of two 2-D tensors ([B,64] x [64,3]), no attributes, default domain.
- Compose tail: Add(Mul(Sub(1, a), warped), Mul(a, mouth_image)) with a = Clip(.., 0, 1)
  ("/compose/alpha"); the 1 is a float[1] initializer; Sub and Mul are a's only readers. The
  Clip's inputs carry no canvas-sized initializer; the canvas is P_rgb's C.
- Head: exactly one Resize ("/head/Resize") with mode "cubic", coordinate_transformation_mode
  "half_pixel", inputs (x, "", scales) where scales comes from a Constant node holding
  {1, 1, 2, 2}; its output is read only by a Conv ("/head/Conv", weight [3,4,3,3], group 1);
  the Resize's input is produced by the Add of the (4,1,1) bias initializer ("/head/bias").
With --no-patterns the same computation is built without them: the GridSample samples the image
directly with padding "reflection", the alpha is Min(Max(..)), the MatMul is "/s2/mix" and the
head resize is linear.
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

KP_ROWS = 21
HEAD_CH = 4
WARP_SIGMA = 0.12
BG = (0.30, 0.35, 0.45)
SKIN = (0.87, 0.70, 0.60)
CAVITY = (0.16, 0.04, 0.05)
TEETH = (0.92, 0.90, 0.84)
# Per-keypoint drawing of the FeatSynth face: (colour offset, blob sigma) for rows 12..20.
_FEATURES = {
    12: ((-0.62, -0.55, -0.48), 0.045), 13: ((-0.62, -0.55, -0.48), 0.045),
    14: ((-0.10, -0.13, -0.12), 0.06),
    15: ((-0.05, -0.28, -0.26), 0.045), 16: ((-0.05, -0.28, -0.26), 0.045),
    17: ((0.0, -0.36, -0.30), 0.05), 18: ((0.0, -0.36, -0.30), 0.055),
    19: ((-0.50, -0.45, -0.42), 0.04), 20: ((-0.50, -0.45, -0.42), 0.04),
}
FAMILIES = ("m4b", "featsynth")
OPSETS = (16, 17, 18, 19, 20)


class _Graph:
    """Appends nodes in creation order (so the graph is topologically ordered) and names every
    output after its node."""

    def __init__(self, opset):
        self.opset = opset
        self.nodes = []
        self.inits = []
        self._names = set()

    def _unique(self, name):
        base, k = name, 1
        while name in self._names:
            k += 1
            name = "%s_%d" % (base, k)
        self._names.add(name)
        return name

    def const(self, name, value, dtype=np.float32):
        name = self._unique(name)
        self.inits.append(numpy_helper.from_array(np.asarray(value, dtype=dtype), name))
        return name

    def ints(self, name, value):
        return self.const(name, value, np.int64)

    def op(self, op_type, inputs, name, output=None, **attrs):
        name = self._unique(name)
        out = output or name + "_output_0"
        self.nodes.append(helper.make_node(op_type, list(inputs), [out], name=name, **attrs))
        return out

    def constant_node(self, name, value):
        name = self._unique(name)
        out = name + "_output_0"
        self.nodes.append(helper.make_node("Constant", [], [out], name=name, value=numpy_helper.from_array(
            np.asarray(value, dtype=np.float32), name + "_value")))
        return out

    # Small conveniences over the opset differences.
    def reduce(self, op_type, x, axes, name, keepdims=1):
        if self.opset >= 18:
            return self.op(op_type, [x, self.ints(name + "/axes", axes)], name, keepdims=keepdims)
        return self.op(op_type, [x], name, axes=list(axes), keepdims=keepdims)

    def slice(self, x, axis, start, end, name):
        return self.op("Slice", [x, self.ints(name + "/starts", [start]), self.ints(name + "/ends", [end]),
                                 self.ints(name + "/axes", [axis])], name)

    def unsqueeze(self, x, axes, name):
        return self.op("Unsqueeze", [x, self.ints(name + "/axes", axes)], name)

    def square(self, x, name):
        return self.op("Mul", [x, x], name)

    def scalar(self, name, v):
        return self.const(name, np.float32(v))


def _rng(seed):
    return np.random.default_rng(1000 + seed)


def _coords(c):
    """Pixel-centre coordinates of a C-pixel axis in [-1, 1]."""
    return ((2.0 * np.arange(c, dtype=np.float64) + 1.0) / c - 1.0).astype(np.float32)


def _kp21(g, name, rows):
    """The first 21 keypoint rows of an input declared with `rows` rows (zero rows appended when it
    declares fewer), so the graph stays well-formed for every declared row count."""
    if rows == KP_ROWS:
        return name
    if 0 < rows < KP_ROWS:
        pads = g.ints("/kp/%s/pads" % name, [0, 0, 0, 0, KP_ROWS - rows, 0])
        return g.op("Pad", [name, pads], "/kp/%s/pad" % name, mode="constant")
    return g.slice(name, 1, 0, KP_ROWS, "/kp/%s/rows" % name)


def _xy(g, kp, scope):
    return (g.slice(kp, 2, 0, 1, scope + "/x"), g.slice(kp, 2, 1, 2, scope + "/y"))


def _gauss(g, u, k, inv2s2, name):
    """exp(-(u - k)^2 * inv2s2): [B,R,1] keypoint coordinates against the [C] axis -> [B,R,C]."""
    d = g.op("Sub", [u, k], name + "/d")
    return g.op("Exp", [g.op("Mul", [g.square(d, name + "/d2"), inv2s2], name + "/scaled")], name)


def _grid(g, kd, ks, c):
    """The sampling grid [B,C,C,2] and its two fields gx, gy [B,C,C]."""
    u = g.const("/warp/u", _coords(c))
    ucol = g.const("/warp/u_col", _coords(c).reshape(c, 1))
    kdx, kdy = _xy(g, kd, "/warp/kd")
    ksx, ksy = _xy(g, ks, "/warp/ks")
    dx = g.op("Sub", [kdx, ksx], "/warp/dx")
    dy = g.op("Sub", [kdy, ksy], "/warp/dy")
    neg = g.scalar("/warp/neg_inv2s2", -1.0 / (2.0 * WARP_SIGMA * WARP_SIGMA))
    ex = _gauss(g, u, kdx, neg, "/warp/ex")  # [B,21,C] along x
    ey = _gauss(g, u, kdy, neg, "/warp/ey")  # [B,21,C] along y
    fields = []
    for axis, (delta, base) in enumerate(((dx, u), (dy, ucol))):
        tag = "xy"[axis]
        wy = g.op("Transpose", [g.op("Mul", [ey, delta], "/warp/w%s" % tag)], "/warp/w%s_t" % tag, perm=[0, 2, 1])
        disp = g.op("MatMul", [wy, ex], "/warp/disp_%s" % tag)  # [B,C(y),C(x)]
        fields.append(g.op("Sub", [base, disp], "/warp/g%s" % tag))
    gx, gy = fields
    grid = g.op("Concat", [g.unsqueeze(gx, [3], "/warp/gx4"), g.unsqueeze(gy, [3], "/warp/gy4")],
                "/warp/grid", axis=3)
    return grid, gx, gy


def _gridsample(g, image, grid, patterns):
    attrs = {"mode": "linear" if g.opset >= 20 else "bilinear", "padding_mode": "border", "align_corners": 0}
    if not patterns:
        attrs["padding_mode"] = "reflection"
    return g.op("GridSample", [image, grid], "/warp/GridSample", **attrs)


def _cone(g, prior):
    """P_rgb -> Concat(value, d2x, d2y, d2xy) [B,12,C,C], edge-clamped second differences."""
    pp = g.op("Pad", [prior, g.ints("/cone/pads", [0, 0, 1, 1, 0, 0, 1, 1])], "/cone/pad", mode="edge")
    a = np.array([1.0, -2.0, 1.0])
    kernels = {"dxx": np.outer([0, 1, 0], a), "dyy": np.outer(a, [0, 1, 0]), "dxy": np.outer(a, a)}
    parts = [prior]
    for name, k in kernels.items():
        w = g.const("/cone/%s/weight" % name, np.tile(k.reshape(1, 1, 3, 3), (3, 1, 1, 1)))
        parts.append(g.op("Conv", [pp, w], "/cone/" + name, group=3, kernel_shape=[3, 3], pads=[0, 0, 0, 0]))
    return g.op("Concat", parts, "/cone/concat", axis=1)


def _cubic_weight(g, field, c, tag):
    """N = (1 - t) * t * 0.5 with t the fractional part of ((1 + gv) * C - 1) * 0.5: [B,1,C,C]."""
    s = "/warp/n%s" % tag
    one = g.scalar(s + "/one", 1.0)
    half = g.scalar(s + "/half", 0.5)
    pos = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [one, field], s + "/shift"),
                                                  g.scalar(s + "/size", float(c))], s + "/scale"), one],
                                s + "/centre"), half], s + "/pos")
    t = g.op("Sub", [pos, g.op("Floor", [pos], s + "/floor")], s + "/frac")
    n = g.op("Mul", [g.op("Mul", [g.op("Sub", [one, t], s + "/one_minus"), t], s + "/prod"), half], s)
    return g.unsqueeze(n, [1], s + "/plane")


def _warp_m4b(g, prior, grid, gx, gy, c, patterns):
    if not patterns:
        return _gridsample(g, prior, grid, patterns)
    sampled = _gridsample(g, _cone(g, prior), grid, patterns)
    a = [g.slice(sampled, 1, 3 * k, 3 * k + 3, "/warp/slice%d" % k) for k in range(4)]
    nx = _cubic_weight(g, gx, c, "x")
    ny = _cubic_weight(g, gy, c, "y")
    nxy = g.op("Mul", [nx, ny], "/warp/nxy")
    t = g.op("Sub", [a[0], g.op("Mul", [nx, a[1]], "/warp/mul_nx")], "/warp/sub_nx")
    t = g.op("Sub", [t, g.op("Mul", [ny, a[2]], "/warp/mul_ny")], "/warp/sub_ny")
    return g.op("Add", [g.op("Mul", [nxy, a[3]], "/warp/mul_nxy"), t], "/warp/recombine")


def _ellipse(g, u, cx, cy, rx, ry, name):
    """((x - cx)/rx)^2 + ((y - cy)/ry)^2 over the crop: [B,1,C,C] from [B,1,1] parameters."""
    ex = g.square(g.op("Div", [g.op("Sub", [u, cx], name + "/dx"), rx], name + "/nx"), name + "/nx2")
    ey = g.square(g.op("Div", [g.op("Sub", [u, cy], name + "/dy"), ry], name + "/ny"), name + "/ny2")
    return g.op("Add", [g.unsqueeze(ex, [1], name + "/row"), g.unsqueeze(ey, [3], name + "/col")], name)


def _clip01(g, x, name, patterns=True):
    lo, hi = g.scalar(name + "/min", 0.0), g.scalar(name + "/max", 1.0)
    if patterns:
        return g.op("Clip", [x, lo, hi], name)
    return g.op("Min", [g.op("Max", [x, lo], name + "/lo"), hi], name)


def _compose(g, warped, kd, ks, c, patterns):
    """(1 - a) * warped + a * mouth_image, a an ellipse around the driving mouth."""
    u = g.const("/compose/u", _coords(c))
    mouth = g.slice(kd, 1, 15, 19, "/compose/mouth")
    mx, my = _xy(g, mouth, "/compose/mouth")
    cx = g.reduce("ReduceMean", mx, [1], "/compose/cx")
    cy = g.reduce("ReduceMean", my, [1], "/compose/cy")
    w = g.op("Sub", [g.reduce("ReduceMax", mx, [1], "/compose/xmax"), g.reduce("ReduceMin", mx, [1], "/compose/xmin")],
             "/compose/width")
    h = g.op("Sub", [g.reduce("ReduceMax", my, [1], "/compose/ymax"), g.reduce("ReduceMin", my, [1], "/compose/ymin")],
             "/compose/height")
    rx = g.op("Add", [g.op("Mul", [w, g.scalar("/compose/kx", 0.7)], "/compose/rx0"), g.scalar("/compose/mx", 0.06)],
              "/compose/rx")
    ry = g.op("Add", [g.op("Mul", [h, g.scalar("/compose/ky", 0.7)], "/compose/ry0"), g.scalar("/compose/my", 0.10)],
              "/compose/ry")
    e = _ellipse(g, u, cx, cy, rx, ry, "/compose/ellipse")
    pre = g.op("Mul", [g.op("Sub", [g.scalar("/compose/e_one", 1.0), e], "/compose/inside"),
                       g.scalar("/compose/edge", 4.0)], "/compose/soft")
    alpha = _clip01(g, pre, "/compose/alpha", patterns)

    # The cavity: between the driving lips, as tall as the lips opened beyond the source's gap.
    kdy = g.slice(kd, 2, 1, 2, "/mouth/kd_y")
    ksy = g.slice(ks, 2, 1, 2, "/mouth/ks_y")
    up_d, lo_d = g.slice(kdy, 1, 17, 18, "/mouth/kd_up"), g.slice(kdy, 1, 18, 19, "/mouth/kd_lo")
    up_s, lo_s = g.slice(ksy, 1, 17, 18, "/mouth/ks_up"), g.slice(ksy, 1, 18, 19, "/mouth/ks_lo")
    opening = g.op("Relu", [g.op("Sub", [g.op("Sub", [lo_d, up_d], "/mouth/gap_d"),
                                         g.op("Sub", [lo_s, up_s], "/mouth/gap_s")], "/mouth/grow")],
                   "/mouth/opening")
    ccy = g.op("Mul", [g.op("Add", [up_d, lo_d], "/mouth/lips"), g.scalar("/mouth/half", 0.5)], "/mouth/cy")
    rxc = g.op("Mul", [w, g.scalar("/mouth/kw", 0.36)], "/mouth/rx")
    ryc = g.op("Add", [g.op("Mul", [opening, g.scalar("/mouth/kh", 0.45)], "/mouth/ry0"),
                       g.scalar("/mouth/eps", 1e-3)], "/mouth/ry")
    ce = _ellipse(g, u, cx, ccy, rxc, ryc, "/mouth/ellipse")
    inside = g.op("Mul", [g.op("Sub", [g.scalar("/mouth/one", 1.0), ce], "/mouth/inside"),
                          g.scalar("/mouth/edge", 3.0)], "/mouth/soft")
    lo0, hi1 = g.scalar("/mouth/zero", 0.0), g.scalar("/mouth/unit", 1.0)
    cav = g.op("Min", [g.op("Max", [inside, lo0], "/mouth/cavity_lo"), hi1], "/mouth/cavity0")
    fade = g.op("Mul", [opening, g.scalar("/mouth/fade_k", 25.0)], "/mouth/fade0")
    fade = g.op("Min", [fade, g.scalar("/mouth/fade_max", 1.0)], "/mouth/fade")
    amount = g.unsqueeze(g.op("Mul", [fade, g.scalar("/mouth/strength", 0.92)], "/mouth/amount"), [3],
                         "/mouth/amount4")  # [B,1,1,1]
    cav = g.op("Mul", [cav, amount], "/mouth/cavity")
    # Teeth across the top of the cavity.
    depth = g.op("Div", [g.op("Sub", [ccy, u], "/mouth/above"), ryc], "/mouth/depth")  # [B,1,C] along y
    teeth = g.op("Min", [g.op("Max", [g.op("Mul", [g.op("Sub", [depth, g.scalar("/mouth/teeth_at", 0.15)],
                                                               "/mouth/teeth_d"),
                                                    g.scalar("/mouth/teeth_k", 3.0)], "/mouth/teeth_s"),
                                       lo0], "/mouth/teeth_lo"), hi1], "/mouth/teeth")
    teeth = g.unsqueeze(teeth, [3], "/mouth/teeth_col")  # [B,1,C,1]
    dark = g.const("/mouth/dark", np.array(CAVITY).reshape(1, 3, 1, 1))
    lift = g.const("/mouth/lift", (np.array(TEETH) - np.array(CAVITY)).reshape(1, 3, 1, 1))
    colour = g.op("Add", [dark, g.op("Mul", [teeth, lift], "/mouth/teeth_rgb")], "/mouth/colour")
    mouth_img = g.op("Add", [warped, g.op("Mul", [cav, g.op("Sub", [colour, warped], "/mouth/towards")],
                                          "/mouth/paint")], "/mouth/image")

    one = g.const("/compose/one", np.ones(1, np.float32))
    inv = g.op("Sub", [one, alpha], "/compose/Sub")
    return g.op("Add", [g.op("Mul", [inv, warped], "/compose/Mul"), g.op("Mul", [alpha, mouth_img], "/compose/Mul_1")],
                "/compose/Add")


def _head(g, pooled, composed, c, patterns, rng):
    """composed + residual(pooled) + colour shift(pooled), clipped to [0, 1] as "rgb"."""
    wp = (rng.standard_normal((HEAD_CH, 64, 1, 1)) * 0.25 / 8.0).astype(np.float32)
    h = g.op("Conv", [pooled, g.const("/head/proj/weight", wp)], "/head/proj", kernel_shape=[1, 1])
    h = g.op("Add", [h, g.const("/head/bias", np.zeros((HEAD_CH, 1, 1)))], "/head/bias_add")
    # The cubic x2 stays at the pooled grid's resolution (32 -> 64), so its cost does not grow with
    # the crop; the 3-channel result is brought to the crop bilinearly.
    scales = g.constant_node("/head/Constant", [1.0, 1.0, 2.0, 2.0])
    h = g.op("Resize", [h, "", scales], "/head/Resize", mode="cubic" if patterns else "linear",
             coordinate_transformation_mode="half_pixel")
    wh = (rng.standard_normal((3, HEAD_CH, 3, 3)) * 0.004).astype(np.float32)
    h = g.op("Conv", [h, g.const("/head/Conv/weight", wh)], "/head/Conv", group=1, kernel_shape=[3, 3],
             pads=[1, 1, 1, 1])
    if c != 64:
        s = c / 64.0
        h = g.op("Resize", [h, "", g.const("/head/up/scales", [1.0, 1.0, s, s])], "/head/up",
                 mode="linear", coordinate_transformation_mode="half_pixel")
    wb = (rng.standard_normal((64, 3)) * 0.05).astype(np.float32)
    v = g.reduce("ReduceMean", pooled, [2, 3], "/s2/pool", keepdims=0)
    shift = g.op("MatMul", [v, g.const("/s2/blend/weight", wb)], "/s2/blend" if patterns else "/s2/mix")
    shift = g.op("Reshape", [shift, g.ints("/s2/shape", [-1, 3, 1, 1])], "/s2/reshape")
    out = g.op("Add", [g.op("Add", [composed, h], "/head/add"), shift], "/head/shift")
    return g.op("Clip", [out, g.scalar("/head/clip/min", 0.0), g.scalar("/head/clip/max", 1.0)], "/head/clip",
                output="rgb")


def _draw_face(g, ks, c):
    """The FeatSynth face drawn from the source keypoints: [B,3,C,C]."""
    u = g.const("/draw/u", _coords(c))
    ring = g.slice(ks, 1, 0, 12, "/draw/ring")
    rx_, ry_ = _xy(g, ring, "/draw/ring")
    cx = g.reduce("ReduceMean", rx_, [1], "/draw/cx")
    cy = g.reduce("ReduceMean", ry_, [1], "/draw/cy")
    half = g.scalar("/draw/half", 0.5)
    rx = g.op("Mul", [g.op("Sub", [g.reduce("ReduceMax", rx_, [1], "/draw/xmax"),
                                   g.reduce("ReduceMin", rx_, [1], "/draw/xmin")], "/draw/w"), half], "/draw/rx")
    ry = g.op("Mul", [g.op("Sub", [g.reduce("ReduceMax", ry_, [1], "/draw/ymax"),
                                   g.reduce("ReduceMin", ry_, [1], "/draw/ymin")], "/draw/h"), half], "/draw/ry")
    e = _ellipse(g, u, cx, cy, rx, ry, "/draw/skin_e")
    m = g.op("Mul", [g.op("Sub", [g.scalar("/draw/one", 1.0), e], "/draw/inside"), g.scalar("/draw/edge", 8.0)],
             "/draw/soft")
    m = g.op("Min", [g.op("Max", [m, g.scalar("/draw/zero", 0.0)], "/draw/skin_lo"), g.scalar("/draw/unit", 1.0)],
             "/draw/skin")
    bg = np.array(BG).reshape(1, 3, 1, 1)
    face = g.op("Add", [g.const("/draw/bg", bg),
                        g.op("Mul", [m, g.const("/draw/skin_rgb", np.array(SKIN).reshape(1, 3, 1, 1) - bg)],
                             "/draw/skin_paint")], "/draw/base")
    colours = np.zeros((1, 3, 1, KP_ROWS), np.float32)
    inv2s2 = np.zeros((1, KP_ROWS, 1), np.float32)
    for k, (col, sigma) in _FEATURES.items():
        colours[0, :, 0, k] = col
        inv2s2[0, k, 0] = -1.0 / (2.0 * sigma * sigma)
    inv2s2[0, :12, 0] = -1.0  # outline rows: weight 0 below, any finite width
    kx, ky = _xy(g, ks, "/draw/kp")
    neg = g.const("/draw/neg_inv2s2", inv2s2)
    ex = g.unsqueeze(_gauss(g, u, kx, neg, "/draw/ex"), [1], "/draw/ex4")  # [B,1,21,C]
    ey = g.unsqueeze(g.op("Transpose", [_gauss(g, u, ky, neg, "/draw/ey")], "/draw/ey_t", perm=[0, 2, 1]), [1],
                     "/draw/ey4")  # [B,1,C,21]
    blobs = g.op("MatMul", [g.op("Mul", [ey, g.const("/draw/colours", colours)], "/draw/tinted"), ex], "/draw/blobs")
    return g.op("Add", [face, blobs], "/draw/face")


def _texture(g, fs_red, face, c):
    f = g.reduce("ReduceMean", fs_red, [1], "/draw/fs_mean")  # [B,1,64,64]
    if c != 64:
        s = c / 64.0
        f = g.op("Resize", [f, "", g.const("/draw/fs_up/scales", [1.0, 1.0, s, s])], "/draw/fs_up",
                 mode="linear", coordinate_transformation_mode="half_pixel")
    return g.op("Add", [face, g.op("Mul", [f, g.scalar("/draw/fs_k", 0.03)], "/draw/fs_term")], "/draw/textured")


def build(family="m4b", batch=1, crop=64, kp_rows=KP_ROWS, free_batch=False, patterns=True, opset=17, seed=0,
          blend_as_gemm=False):
    """The director ModelProto. kp_rows: declared keypoint rows (-1: a named free dimension, 0: an
    unnamed unknown dimension). free_batch: the feature input's batch is a free dimension.
    blend_as_gemm: write "/s2/blend" as the Gemm it normalises to (same numbers)."""
    if family not in FAMILIES:
        raise ValueError("family must be one of %s" % (FAMILIES,))
    if crop < 8 or crop % 2:
        raise ValueError("crop must be even and at least 8, got %d" % crop)
    if batch < 1:
        raise ValueError("batch must be positive")
    if kp_rows < -1:
        raise ValueError("kp_rows must be -1 (free), 0 (unknown) or a row count, got %d" % kp_rows)
    if opset not in OPSETS:
        raise ValueError("opset must be one of %s" % (OPSETS,))
    g = _Graph(opset)
    rng = _rng(seed)
    m4b = family == "m4b"
    feat, kd_name, ks_name = ("pooled64", "kp_driving", "kp_source") if m4b else ("pooled", "kd", "ks")
    rows = {-1: "kp_rows", 0: None}.get(kp_rows, kp_rows)

    def vi(name, dims):
        return helper.make_tensor_value_info(name, TensorProto.FLOAT, dims)

    feat_dims = ["batch" if free_batch else batch, 64, 32, 32]
    inputs = [vi(feat, feat_dims)]
    if m4b:
        inputs.insert(1, vi("P_rgb", [batch, 3, crop, crop]))
    else:
        inputs.insert(0, vi("fs_red", [batch, 64, 64, 64]))
    for name in (kd_name, ks_name):
        v = vi(name, [batch, rows if rows is not None else "x", 3])
        if rows is None:
            v.type.tensor_type.shape.dim[1].Clear()
        inputs.append(v)

    kd = _kp21(g, kd_name, kp_rows)
    ks = _kp21(g, ks_name, kp_rows)
    grid, gx, gy = _grid(g, kd, ks, crop)
    if m4b:
        warped = _warp_m4b(g, "P_rgb", grid, gx, gy, crop, patterns)
    else:
        face = _texture(g, "fs_red", _draw_face(g, ks, crop), crop)
        warped = _gridsample(g, face, grid, patterns)
    warped = _clip01(g, warped, "/warp/clamp")
    composed = _compose(g, warped, kd, ks, crop, patterns)
    _head(g, feat, composed, crop, patterns, rng)
    if blend_as_gemm:
        for n in g.nodes:
            if n.name == "/s2/blend":
                n.op_type = "Gemm"

    out_dims = ["batch" if free_batch else batch, 3, crop, crop]
    graph = helper.make_graph(g.nodes, "director_" + family, inputs, [vi("rgb", out_dims)], g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)], producer_name="ka-forge",
                              doc_string="synthetic %s director, crop %d, batch %d" % (family, crop, batch))
    model.ir_version = 9 if opset >= 19 else 8
    return model


def save(model, path):
    # The onnx package here knows opsets up to 17; later ones are written unchecked.
    if model.opset_import[0].version <= 17:
        onnx.checker.check_model(model, full_check=True)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    onnx.save(model, path)


def member_names(batch, variant="", names="legacy"):
    """Bundle member file names of a director model."""
    out = []
    if names in ("legacy", "both"):
        out.append("model_b%d%s.onnx" % (batch, "_" + variant if variant else ""))
    if names in ("canonical", "both"):
        out.append("render_model.batch%d%s.onnx" % (batch, "." + variant if variant else ""))
    return out


def _bundle_crop(bundle_dir):
    with open(os.path.join(bundle_dir, "manifest.json")) as f:
        return int(json.load(f)["crop"])


def write_into_bundle(bundle_dir, batch=1, variant="", names="legacy", **kw):
    """Writes the director for the bundle's crop (read from its manifest.json). Returns the paths."""
    model = build(batch=batch, crop=_bundle_crop(bundle_dir), **kw)
    paths = [os.path.join(bundle_dir, n) for n in member_names(batch, variant, names)]
    for p in paths:
        save(model, p)
    return paths


# The utterance session's steady chunk renderer: model "b24_fp32", 24 frames per run.
STEADY_BATCH = 24
STEADY_VARIANT = "fp32"


def write_steady(bundle_dir, **kw):
    """The batch-24 director "model_b24_fp32.onnx" (the same per-item function as the batch-1
    director of the same seed). Returns its path."""
    return write_into_bundle(bundle_dir, batch=STEADY_BATCH, variant=STEADY_VARIANT, **kw)[0]


def write_named(bundle_dir, name, batch=1, **kw):
    """A director under the model key `name`: "model_<name>.onnx" (the offline stream opens its
    context with the key "render"). Returns its path."""
    path = os.path.join(bundle_dir, "model_%s.onnx" % name)
    save(build(batch=batch, crop=_bundle_crop(bundle_dir), **kw), path)
    return path


# ---------------------------------------------------------------------------------------------
# Pattern report: the structures the load-time rewrites look for, found by the same rules they use.

class _View:
    def __init__(self, model):
        gr = model.graph
        self.nodes = list(gr.node)
        self.inits = {t.name: list(t.dims) for t in gr.initializer}
        self.inputs = {v.name: v for v in gr.input}
        self.outputs = [v.name for v in gr.output]
        self.producer = {}
        self.readers = {}
        for i, n in enumerate(self.nodes):
            for o in n.output:
                self.producer[o] = i
            for t in n.input:
                self.readers.setdefault(t, []).append(i)

    def attrs(self, n):
        return {a.name: helper.get_attribute_value(a) for a in n.attribute}

    def prod(self, t):
        i = self.producer.get(t)
        return None if i is None else self.nodes[i]


def _s(v):
    return v.decode() if isinstance(v, bytes) else v


def _qualifying_gridsample(view, n):
    if n.op_type != "GridSample" or n.domain not in ("", "ai.onnx"):
        return False
    a = view.attrs(n)
    return (_s(a.get("mode")) in ("bilinear", "linear") and _s(a.get("padding_mode")) == "border"
            and a.get("align_corners", 0) == 0)


def _cone_nodes(view, boundary):
    """Indices of the source cone's nodes, or a reason string."""
    cone, seen, todo = set(), set(), [boundary]
    while todo:
        t = todo.pop()
        if t in seen:
            continue
        seen.add(t)
        if t == "P_rgb" or t in view.inits:
            continue
        if t in view.producer:
            i = view.producer[t]
            cone.add(i)
            if view.nodes[i].op_type != "Constant":
                todo.extend(x for x in view.nodes[i].input if x)
        elif t in view.inputs:
            return "cone reads graph input '%s'" % t
        else:
            return "cone leaf '%s' has no producer" % t
    for i in cone:
        for o in view.nodes[i].output:
            if o != boundary and any(r not in cone for r in view.readers.get(o, [])):
                return "cone value '%s' escapes" % o
    if any(r not in cone for r in view.readers.get("P_rgb", [])):
        return "P_rgb is also read outside the cone"
    return cone


def _compose_tail(view):
    start = view.prod(view.outputs[0]) if view.outputs else None
    for _ in range(4):
        if start is not None and start.op_type in ("Identity", "Cast"):
            start = view.prod(start.input[0])
    if start is None:
        return None
    todo, seen = [start], set()
    while todo:
        n = todo.pop(0)
        if id(n) in seen:
            continue
        seen.add(id(n))
        if n.op_type == "Add" and len(n.input) == 2:
            muls = [view.prod(t) for t in n.input]
            if all(m is not None and m.op_type == "Mul" for m in muls):
                for m_inv, m_a in (muls, muls[::-1]):
                    for t in m_inv.input:
                        sub = view.prod(t)
                        if sub is None or sub.op_type != "Sub" or len(sub.input) != 2:
                            continue
                        one, a = sub.input
                        one_ok = (one in view.inits and int(np.prod(view.inits[one])) == 1) or \
                            (view.prod(one) is not None and view.prod(one).op_type == "Constant")
                        clip = view.prod(a)
                        if one_ok and a in m_a.input and clip is not None and clip.op_type == "Clip":
                            return a
        todo.extend(p for p in (view.prod(t) for t in n.input) if p is not None)
    return None


def patterns(model):
    """{"gridsample": qualifying GridSample count, "blend": "/s2/blend" MatMul count, "cone": Concat
    nodes reading P_rgb, "cone_nodes": nodes of the (single) cone or a reason, "warp_block": nodes of
    the warp block with exactly one exit (0 when absent), "head_cubic": 1 when exactly one Resize
    qualifies and its Conv's channels match the bias above it, "compose_alpha": the alpha's name
    or ""}."""
    v = _View(model)
    out = {"gridsample": sum(_qualifying_gridsample(v, n) for n in v.nodes),
           "blend": sum(n.op_type == "MatMul" and n.name == "/s2/blend" and len(n.input) == 2 and not n.attribute
                        and n.domain in ("", "ai.onnx") for n in v.nodes)}
    concats = [n for n in v.nodes if n.op_type == "Concat" and "P_rgb" in n.input and n.output and n.output[0]]
    out["cone"] = len(concats)
    out["cone_nodes"] = 0
    out["warp_block"] = 0
    if len(concats) == 1:
        boundary = concats[0].output[0]
        cone = _cone_nodes(v, boundary)
        out["cone_nodes"] = len(cone) if isinstance(cone, set) else cone
        gss = [i for i, n in enumerate(v.nodes) if n.op_type == "GridSample" and n.input[0] == boundary]
        if len(gss) == 1 and _qualifying_gridsample(v, v.nodes[gss[0]]):
            gs = v.nodes[gss[0]]
            marked = {gss[0]}
            tensors = {gs.output[0]}
            for i, n in enumerate(v.nodes):
                if n.op_type == "Slice" and gs.output[0] in n.input:
                    marked.add(i)
                    tensors.update(n.output)
            grew = True
            while grew:
                grew = False
                for i, n in enumerate(v.nodes):
                    if i not in marked and n.op_type in ("Mul", "Sub", "Add") and tensors.intersection(n.input):
                        marked.add(i)
                        tensors.update(n.output)
                        grew = True
            exits = [t for t in tensors if t != gs.output[0] and
                     (t in v.outputs or any(r not in marked for r in v.readers.get(t, [])))]
            if len(exits) == 1 and gs.input[1] in v.producer:
                out["warp_block"] = len(marked)
    resizes = []
    for n in v.nodes:
        if n.op_type != "Resize" or n.domain:
            continue
        a = v.attrs(n)
        sc = v.prod(n.input[2]) if len(n.input) == 3 else None
        ok = (_s(a.get("mode")) == "cubic" and _s(a.get("coordinate_transformation_mode")) == "half_pixel"
              and not a.get("exclude_outside", 0) and not a.get("antialias", 0) and "axes" not in a
              and _s(a.get("keep_aspect_ratio_policy", "stretch")) == "stretch" and len(n.input) == 3
              and n.input[1] == "" and sc is not None and sc.op_type == "Constant" and len(n.output) == 1
              and list(numpy_helper.to_array(v.attrs(sc)["value"]).ravel()) == [1, 1, 2, 2])
        if ok:
            resizes.append(n)
    out["head_cubic"] = 0
    if len(resizes) == 1:
        rz = resizes[0]
        readers = v.readers.get(rz.output[0], [])
        conv = v.nodes[readers[0]] if len(readers) == 1 else None
        if conv is not None and conv.op_type == "Conv" and len(v.inits.get(conv.input[1], [])) == 4:
            ch = v.attrs(conv).get("group", 1) * v.inits[conv.input[1]][1]
            t, found = rz.input[0], None
            for _ in range(4):
                p = v.prod(t)
                if p is None:
                    break
                found = next((v.inits[x][0] for x in p.input if len(v.inits.get(x, [])) == 3
                              and v.inits[x][1:] == [1, 1]), None)
                if found is not None:
                    break
                t = p.input[0]
            out["head_cubic"] = int(found is None or found == ch)
    out["compose_alpha"] = _compose_tail(v) or ""
    return out


# ---------------------------------------------------------------------------------------------

def _model_args(p):
    p.add_argument("--family", choices=FAMILIES, default="m4b")
    p.add_argument("--batch", type=int, default=1)
    p.add_argument("--kp-rows", type=int, default=KP_ROWS,
                   help="declared keypoint rows; -1 a named free dimension, 0 an unnamed unknown one")
    p.add_argument("--free-batch", action="store_true", help="the feature input's batch is a free dimension")
    p.add_argument("--no-patterns", action="store_true", help="build the graph without any rewrite pattern")
    p.add_argument("--blend-as-gemm", action="store_true", help="write /s2/blend as the Gemm it normalises to")
    p.add_argument("--opset", type=int, choices=OPSETS, default=17)
    p.add_argument("--seed", type=int, default=0)


def _kw(a):
    return dict(family=a.family, kp_rows=a.kp_rows, free_batch=a.free_batch, patterns=not a.no_patterns,
                opset=a.opset, seed=a.seed, blend_as_gemm=a.blend_as_gemm)


def _cmd_director(a):
    save(build(batch=a.batch, crop=a.crop, **_kw(a)), a.out)


def _cmd_into(a):
    for p in write_into_bundle(a.bundle_dir, batch=a.batch, variant=a.variant, names=a.names, **_kw(a)):
        print(p)


def _cmd_steady(a):
    print(write_steady(a.bundle_dir, **_kw(a)))
    if a.render_key:
        print(write_named(a.bundle_dir, "render", **_kw(a)))


def _cmd_patterns(a):
    rep = patterns(onnx.load(a.model))
    text = "".join("%s %s\n" % (k, rep[k]) for k in sorted(rep))
    if a.out:
        with open(a.out, "w") as f:
            f.write(text)
    else:
        print(text, end="")


def register(sub):
    p = sub.add_parser("director", help="a synthetic director model (m4b or FeatSynth family)")
    p.add_argument("out")
    p.add_argument("--crop", type=int, default=64)
    _model_args(p)
    p.set_defaults(func=_cmd_director)

    p = sub.add_parser("director-into", help="a director model written into a bundle as model_b<batch>[_<variant>].onnx")
    p.add_argument("bundle_dir")
    p.add_argument("--variant", default="")
    p.add_argument("--names", choices=["legacy", "canonical", "both"], default="legacy")
    _model_args(p)
    p.set_defaults(func=_cmd_into)

    p = sub.add_parser("director-steady", help="the batch-24 chunk director model_b24_fp32.onnx written into a bundle")
    p.add_argument("bundle_dir")
    p.add_argument("--render-key", action="store_true", help="also the batch-1 director model_render.onnx")
    _model_args(p)
    p.set_defaults(func=_cmd_steady)

    p = sub.add_parser("director-patterns", help="report the rewrite patterns a director model carries")
    p.add_argument("model")
    p.add_argument("out", nargs="?")
    p.set_defaults(func=_cmd_patterns)
