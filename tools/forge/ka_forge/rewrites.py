"""Near misses of the director's warp block and head cubic resize, and numpy references of the
kernels that replace them.

warp-variant OUT --variant V   the m4b director (director.build) with one change:
  ok                the director unchanged
  padding           the fused GridSample pads with "zeros"
  two-exits         a Neg of "/warp/sub_ny" becomes a second graph output ("extra")
  two-gridsamples   a second GridSample samples the cone's tip (its output "extra")
  static-grid       the GridSample's grid is an initializer ("static_grid")
  two-concats       a second Concat reads P_rgb (its output "extra")
  identity-boundary the cone's tip reaches the GridSample through an Identity
  escape            the cone's Pad output is also read by a Neg (its output "extra")
  other-input       the cone scales its padded prior by ReduceMean(pooled64) * 0 + 1
  sampled-read      the GridSample's 12 channels are also read by a Neg (its output "extra")
warp-block OUT --crop C        just the warp block: inputs P_rgb [1,3,C,C] and grid [1,C,C,2], output
                               "warped" (the cone, the GridSample and the recombination, no clip)
warp-node OUT --c C --h H --w W   one com.zephrane::WarpDirector node: "src" [N,C,H,W], "grid"
                               [N,H,W,2] -> "out" (--n N, default 1)
warp-ref SRC GRID OUT --w W --h H   the WarpDirector formulas in float32 numpy, one batch item
cubic-variant OUT --variant V  a head (x -> Add(bias) -> Resize cubic x2 -> Conv) with one change:
  ok, coeff (cubic_coeff_a -0.5), two (two qualifying Resizes), scales-init (scales as an
  initializer), exclude (exclude_outside 1), asymmetric (coordinate mode "asymmetric"),
  channels (bias of 5 channels against a Conv reading 4; not runnable)
  --c C --h H --w W shape the head input [1,C,H,W]; --opset (default 17)
"""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from . import director

WARP_VARIANTS = ("ok", "padding", "two-exits", "two-gridsamples", "static-grid", "two-concats",
                 "identity-boundary", "escape", "other-input", "sampled-read")
CUBIC_VARIANTS = ("ok", "coeff", "two", "scales-init", "exclude", "asymmetric", "channels")


def _node(model, name):
    return next(n for n in model.graph.node if n.name == name)


def _extra_output(model, node):
    model.graph.node.append(node)
    model.graph.output.append(helper.make_tensor_value_info(node.output[0], TensorProto.FLOAT, None))


def warp_variant(variant, crop=16):
    m = director.build(family="m4b", crop=crop)
    g = m.graph
    gs = _node(m, "/warp/GridSample")
    cat = _node(m, "/cone/concat")
    if variant == "padding":
        for a in gs.attribute:
            if a.name == "padding_mode":
                a.s = b"zeros"
    elif variant == "two-exits":
        _extra_output(m, helper.make_node("Neg", [_node(m, "/warp/sub_ny").output[0]], ["extra"], name="extra"))
    elif variant == "two-gridsamples":
        _extra_output(m, helper.make_node("GridSample", [cat.output[0], gs.input[1]], ["extra"], name="extra",
                                          mode="bilinear", padding_mode="border", align_corners=0))
    elif variant == "static-grid":
        lin = ((2.0 * np.arange(crop) + 1.0) / crop - 1.0).astype(np.float32)
        grid = np.stack(np.meshgrid(lin, lin), axis=-1)[None].astype(np.float32)
        g.initializer.append(numpy_helper.from_array(grid, "static_grid"))
        gs.input[1] = "static_grid"
    elif variant == "two-concats":
        _extra_output(m, helper.make_node("Concat", ["P_rgb", "P_rgb"], ["extra"], name="extra", axis=1))
    elif variant == "identity-boundary":
        idx = list(g.node).index(gs)
        g.node.insert(idx, helper.make_node("Identity", [cat.output[0]], ["tip_copy"], name="/cone/identity"))
        gs.input[0] = "tip_copy"
    elif variant == "escape":
        _extra_output(m, helper.make_node("Neg", [_node(m, "/cone/pad").output[0]], ["extra"], name="extra"))
    elif variant == "other-input":
        pad = _node(m, "/cone/pad")
        idx = list(g.node).index(pad) + 1
        g.initializer.extend([numpy_helper.from_array(np.float32(0), "mix_zero"),
                              numpy_helper.from_array(np.float32(1), "mix_one")])
        extra = [helper.make_node("ReduceMean", ["pooled64"], ["mix_mean"], name="/cone/mix_mean", axes=[1, 2, 3]),
                 helper.make_node("Mul", ["mix_mean", "mix_zero"], ["mix_z"], name="/cone/mix_z"),
                 helper.make_node("Add", ["mix_z", "mix_one"], ["mix_gain"], name="/cone/mix_gain"),
                 helper.make_node("Mul", [pad.output[0], "mix_gain"], ["pad_mixed"], name="/cone/mix")]
        for k, n in enumerate(extra):
            g.node.insert(idx + k, n)
        for n in g.node:
            if n.name.startswith("/cone/d"):
                n.input[0] = "pad_mixed"
    elif variant == "sampled-read":
        _extra_output(m, helper.make_node("Neg", [gs.output[0]], ["extra"], name="extra"))
    elif variant != "ok":
        raise ValueError("unknown warp variant " + variant)
    return m


def warp_block(crop):
    g = director._Graph(17)
    grid = g.op("Identity", ["grid"], "/in/grid")  # the rewrite wants a grid some node produces
    gx = g.slice(grid, 3, 0, 1, "/in/gx")
    gy = g.slice(grid, 3, 1, 2, "/in/gy")
    gx = g.op("Squeeze", [gx, g.ints("/in/gx/axes", [3])], "/in/gx3")
    gy = g.op("Squeeze", [gy, g.ints("/in/gy/axes", [3])], "/in/gy3")
    out = director._warp_m4b(g, "P_rgb", grid, gx, gy, crop, True)
    g.nodes.append(helper.make_node("Identity", [out], ["warped"], name="/out"))
    vi = helper.make_tensor_value_info
    graph = helper.make_graph(g.nodes, "warp_block", [vi("P_rgb", TensorProto.FLOAT, [1, 3, crop, crop]),
                                                      vi("grid", TensorProto.FLOAT, [1, crop, crop, 2])],
                              [vi("warped", TensorProto.FLOAT, [1, 3, crop, crop])], g.inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    m.ir_version = 8
    return m


def warp_reference(src, grid, w, h):
    """src [3,H,W] and grid [H,W,2] float32 -> [3,H,W], every step rounded to float32."""
    f = np.float32
    two, one, half = f(2), f(1), f(0.5)
    s = src.astype(np.float32)
    r = np.arange(h)
    c = np.arange(w)
    up, dn = np.clip(r - 1, 0, h - 1), np.clip(r + 1, 0, h - 1)
    lf, rt = np.clip(c - 1, 0, w - 1), np.clip(c + 1, 0, w - 1)

    def v(rows, cols):
        return s[:, rows][:, :, cols]
    m = v(r, c)
    p1 = (v(r, lf) - two * m) + v(r, rt)
    p2 = (v(up, c) - two * m) + v(dn, c)
    left = (v(up, lf) - two * v(r, lf)) + v(dn, lf)
    right = (v(up, rt) - two * v(r, rt)) + v(dn, rt)
    p3 = (left - two * p2) + right
    planes = np.stack([m, p1, p2, p3])  # [4,3,H,W]

    gx, gy = grid[..., 0].astype(np.float32), grid[..., 1].astype(np.float32)
    with np.errstate(invalid="ignore"):
        X = ((one + gx) * f(w) - one) * half
        Y = ((one + gy) * f(h) - one) * half
        tx, ty = X - np.floor(X), Y - np.floor(Y)
        nx = ((one - tx) * tx) * half
        ny = ((one - ty) * ty) * half
        xc = np.where(X >= 0, np.minimum(X, f(w - 1)), f(0)).astype(np.float32)
        yc = np.where(Y >= 0, np.minimum(Y, f(h - 1)), f(0)).astype(np.float32)
    x0f, y0f = np.floor(xc), np.floor(yc)
    fx, fy = xc - x0f, yc - y0f
    x0, y0 = x0f.astype(np.int64), y0f.astype(np.int64)
    x1, y1 = np.minimum(x0 + 1, w - 1), np.minimum(y0 + 1, h - 1)
    w00, w01 = (one - fx) * (one - fy), fx * (one - fy)
    w10, w11 = (one - fx) * fy, fx * fy
    a = ((w00 * planes[:, :, y0, x0] + w01 * planes[:, :, y0, x1]) + w10 * planes[:, :, y1, x0]) \
        + w11 * planes[:, :, y1, x1]
    with np.errstate(invalid="ignore"):
        return ((nx * ny) * a[3] + ((a[0] - nx * a[1]) - ny * a[2])).astype(np.float32)


def cubic_variant(variant, c=4, h=8, w=8, opset=17):
    g = director._Graph(opset)
    vi = helper.make_tensor_value_info
    bias_c = 5 if variant == "channels" else c
    x = g.op("Add", ["x", g.const("/head/bias", np.zeros((bias_c, 1, 1)))], "/head/bias_add")
    if variant == "scales-init":
        scales = g.const("/head/scales", [1.0, 1.0, 2.0, 2.0])
    else:
        scales = g.constant_node("/head/Constant", [1.0, 1.0, 2.0, 2.0])
    attrs = {"mode": "cubic", "coordinate_transformation_mode": "asymmetric" if variant == "asymmetric"
             else "half_pixel"}
    if variant == "coeff":
        attrs["cubic_coeff_a"] = -0.5
    if variant == "exclude":
        attrs["exclude_outside"] = 1
    y = g.op("Resize", [x, "", scales], "/head/Resize", **attrs)
    if variant == "two":
        y2 = g.op("Resize", [x, "", scales], "/head/Resize2", **attrs)
        y = g.op("Add", [y, y2], "/head/sum")
    rng = np.random.default_rng(7)
    wc = rng.standard_normal((3, c, 3, 3)).astype(np.float32) * np.float32(0.1)
    g.op("Conv", [y, g.const("/head/Conv/weight", wc)], "/head/Conv", output="out", group=1, kernel_shape=[3, 3],
         pads=[1, 1, 1, 1])
    graph = helper.make_graph(g.nodes, "head", [vi("x", TensorProto.FLOAT, [1, c, h, w])],
                              [vi("out", TensorProto.FLOAT, [1, 3, 2 * h, 2 * w])], g.inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    m.ir_version = 8
    return m


def warp_node(c, h, w, n=1):
    vi = helper.make_tensor_value_info
    node = helper.make_node("WarpDirector", ["src", "grid"], ["out"], name="warp", domain="com.zephrane")
    graph = helper.make_graph([node], "warp_node", [vi("src", TensorProto.FLOAT, [n, c, h, w]),
                                                    vi("grid", TensorProto.FLOAT, [n, h, w, 2])],
                              [vi("out", TensorProto.FLOAT, [n, c, h, w])])
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17), helper.make_opsetid("com.zephrane", 1)])
    m.ir_version = 8
    return m


def _save(m, path):
    onnx.save(m, path)


def register(sub):
    p = sub.add_parser("warp-variant", help="the m4b director with one warp-block near miss")
    p.add_argument("out")
    p.add_argument("--variant", choices=WARP_VARIANTS, default="ok")
    p.add_argument("--crop", type=int, default=16)
    p.set_defaults(func=lambda a: _save(warp_variant(a.variant, a.crop), a.out))

    p = sub.add_parser("warp-block", help="the m4b warp block alone: P_rgb and grid in, warped out")
    p.add_argument("out")
    p.add_argument("--crop", type=int, default=64)
    p.set_defaults(func=lambda a: _save(warp_block(a.crop), a.out))

    p = sub.add_parser("warp-node", help="one com.zephrane::WarpDirector node")
    p.add_argument("out")
    for k, v in (("--n", 1), ("--c", 3), ("--h", 8), ("--w", 8)):
        p.add_argument(k, type=int, default=v)
    p.set_defaults(func=lambda a: _save(warp_node(a.c, a.h, a.w, a.n), a.out))

    def _ref(a):
        src = np.fromfile(a.src, np.float32).reshape(3, a.h, a.w)
        grid = np.fromfile(a.grid, np.float32).reshape(a.h, a.w, 2)
        warp_reference(src, grid, a.w, a.h).tofile(a.out)
    p = sub.add_parser("warp-ref", help="numpy reference of the WarpDirector kernel")
    p.add_argument("src")
    p.add_argument("grid")
    p.add_argument("out")
    p.add_argument("--w", type=int, required=True)
    p.add_argument("--h", type=int, required=True)
    p.set_defaults(func=_ref)

    p = sub.add_parser("cubic-variant", help="a head cubic x2 Resize, as the rewrite finds it or a near miss")
    p.add_argument("out")
    p.add_argument("--variant", choices=CUBIC_VARIANTS, default="ok")
    p.add_argument("--c", type=int, default=4)
    p.add_argument("--h", type=int, default=8)
    p.add_argument("--w", type=int, default=8)
    p.add_argument("--opset", type=int, default=17)
    p.set_defaults(func=lambda a: _save(cubic_variant(a.variant, a.c, a.h, a.w, a.opset), a.out))
