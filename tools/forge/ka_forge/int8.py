"""Int8ConvVNNI fixtures: a numpy reference of its arithmetic and ONNX models around it.

int8-ref DIR --shape N,CIN,H,W,COUT,KH,KW --strides SH,SW --pads T,L,B,R --dilations DH,DW --group G
    reads DIR/x.f32, DIR/w.i8, DIR/scale.f32, DIR/bias.f32 and writes DIR/y.f32 (the operator's output,
    float32 rounding at each of its steps, integer sums in int64) and DIR/q.u8 (the quantised input)
    and DIR/zp.i32
int8-model OUT (same shape options)   one com.zephrane.int8::Int8ConvVNNI node: x, w (int8), scale,
    bias -> y; --init-weights makes w, scale and bias initializers read from --dir
convinteger-model OUT (same shape options)   ONNX ConvInteger: xq (uint8), w (int8), xzp (uint8) -> y
conv-model OUT (same shape options)   a float Conv: x, w (float), b -> y
qlinearconv-model OUT (same shape options) --dir D   QuantizeLinear(x) -> QLinearConv -> DequantizeLinear,
    weights int8 from D, a static input scale and zero point from D/zp.i32 and D/xscale.f32
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def _ints(s):
    return [int(v) for v in s.split(",")]


def _opts(p):
    p.add_argument("--shape", required=True, help="N,CIN,H,W,COUT,KH,KW")
    p.add_argument("--strides", default="1,1")
    p.add_argument("--pads", default="0,0,0,0")
    p.add_argument("--dilations", default="1,1")
    p.add_argument("--group", type=int, default=1)


def _geom(a):
    n, cin, h, w, cout, kh, kw = _ints(a.shape)
    sh, sw = _ints(a.strides)
    t, l, b, r = _ints(a.pads)
    dh, dw = _ints(a.dilations)
    ho = (h + t + b - dh * (kh - 1) - 1) // sh + 1
    wo = (w + l + r - dw * (kw - 1) - 1) // sw + 1
    return dict(n=n, cin=cin, h=h, w=w, cout=cout, kh=kh, kw=kw, sh=sh, sw=sw, t=t, l=l, b=b, r=r, dh=dh, dw=dw,
                g=a.group, ho=ho, wo=wo)


def reference(x, wq, wscale, bias, G):
    f = np.float32
    lo, hi = min(f(0), x.min()), max(f(0), x.max())
    scale = f((f(hi) - f(lo)) / f(255))
    if not scale > 0:
        scale = f(1)
    zp = int(np.clip(np.rint(f(-lo) / scale), 0, 255))
    q = np.clip(np.rint(x / scale).astype(np.int64) + zp, 0, 255)
    n, cg = G["n"], G["cin"] // G["g"]
    cog = G["cout"] // G["g"]
    y = np.zeros((n, G["cout"], G["ho"], G["wo"]), np.float32)
    w64 = wq.astype(np.int64)
    for oy in range(G["ho"]):
        for ox in range(G["wo"]):
            acc = np.zeros((n, G["cout"]), np.int64)
            ws = np.zeros((n, G["cout"]), np.int64)
            for ky in range(G["kh"]):
                iy = oy * G["sh"] - G["t"] + ky * G["dh"]
                if not 0 <= iy < G["h"]:
                    continue
                for kx in range(G["kw"]):
                    ix = ox * G["sw"] - G["l"] + kx * G["dw"]
                    if not 0 <= ix < G["w"]:
                        continue
                    for g in range(G["g"]):
                        qs = q[:, g * cg:(g + 1) * cg, iy, ix]  # [n, cg]
                        wt = w64[g * cog:(g + 1) * cog, :, ky, kx]  # [cog, cg]
                        acc[:, g * cog:(g + 1) * cog] += qs @ wt.T
                        ws[:, g * cog:(g + 1) * cog] += wt.sum(axis=1)
            diff = (acc - zp * ws).astype(np.float32)
            y[:, :, oy, ox] = diff * (scale * wscale) + bias
    return y, q.astype(np.uint8), zp, scale


def _attrs(G):
    return dict(strides=[G["sh"], G["sw"]], pads=[G["t"], G["l"], G["b"], G["r"]],
                dilations=[G["dh"], G["dw"]], group=G["g"])


def _model(nodes, inputs, outputs, inits=(), domains=()):
    graph = helper.make_graph(nodes, "int8", inputs, outputs, list(inits))
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)] +
                          [helper.make_opsetid(d, 1) for d in domains])
    m.ir_version = 8
    return m


def _shapes(G):
    x = [G["n"], G["cin"], G["h"], G["w"]]
    w = [G["cout"], G["cin"] // G["g"], G["kh"], G["kw"]]
    y = [G["n"], G["cout"], G["ho"], G["wo"]]
    return x, w, y


def _cmd_ref(a):
    G = _geom(a)
    xs, ws, _ = _shapes(G)
    x = np.fromfile(os.path.join(a.dir, "x.f32"), np.float32).reshape(xs)
    w = np.fromfile(os.path.join(a.dir, "w.i8"), np.int8).reshape(ws)
    s = np.fromfile(os.path.join(a.dir, "scale.f32"), np.float32)
    b = np.fromfile(os.path.join(a.dir, "bias.f32"), np.float32)
    y, q, zp, scale = reference(x, w, s, b, G)
    y.tofile(os.path.join(a.dir, "y.f32"))
    q.tofile(os.path.join(a.dir, "q.u8"))
    np.array([zp], np.int32).tofile(os.path.join(a.dir, "zp.i32"))
    np.array([scale], np.float32).tofile(os.path.join(a.dir, "xscale.f32"))


def _cmd_int8(a):
    G = _geom(a)
    xs, ws, ys = _shapes(G)
    vi = helper.make_tensor_value_info
    inputs = [vi("x", TensorProto.FLOAT, xs)]
    inits = []
    if a.dir:
        inits = [numpy_helper.from_array(np.fromfile(os.path.join(a.dir, "w.i8"), np.int8).reshape(ws), "w"),
                 numpy_helper.from_array(np.fromfile(os.path.join(a.dir, "scale.f32"), np.float32), "scale"),
                 numpy_helper.from_array(np.fromfile(os.path.join(a.dir, "bias.f32"), np.float32), "bias")]
    else:
        inputs += [vi("w", TensorProto.INT8, ws), vi("scale", TensorProto.FLOAT, [G["cout"]]),
                   vi("bias", TensorProto.FLOAT, [G["cout"]])]
    node = helper.make_node("Int8ConvVNNI", ["x", "w", "scale", "bias"], ["y"], name="conv",
                            domain="com.zephrane.int8", **_attrs(G))
    onnx.save(_model([node], inputs, [vi("y", TensorProto.FLOAT, ys)], inits, ["com.zephrane.int8"]), a.out)


def _cmd_convinteger(a):
    G = _geom(a)
    xs, ws, ys = _shapes(G)
    vi = helper.make_tensor_value_info
    node = helper.make_node("ConvInteger", ["xq", "w", "xzp"], ["y"], name="conv", **_attrs(G))
    onnx.save(_model([node], [vi("xq", TensorProto.UINT8, xs), vi("w", TensorProto.INT8, ws),
                              vi("xzp", TensorProto.UINT8, [])], [vi("y", TensorProto.INT32, ys)]), a.out)


def _cmd_conv(a):
    G = _geom(a)
    xs, ws, ys = _shapes(G)
    rng = np.random.default_rng(1)
    vi = helper.make_tensor_value_info
    inits = [numpy_helper.from_array(rng.standard_normal(ws).astype(np.float32) * np.float32(0.05), "w"),
             numpy_helper.from_array(rng.standard_normal(G["cout"]).astype(np.float32), "b")]
    node = helper.make_node("Conv", ["x", "w", "b"], ["y"], name="conv", **_attrs(G))
    onnx.save(_model([node], [vi("x", TensorProto.FLOAT, xs)], [vi("y", TensorProto.FLOAT, ys)], inits), a.out)


def _cmd_qlinear(a):
    G = _geom(a)
    xs, ws, ys = _shapes(G)
    d = a.dir
    w = np.fromfile(os.path.join(d, "w.i8"), np.int8).reshape(ws)
    s = np.fromfile(os.path.join(d, "scale.f32"), np.float32)
    b = np.fromfile(os.path.join(d, "bias.f32"), np.float32)
    zp = np.fromfile(os.path.join(d, "zp.i32"), np.int32)[0]
    xscale = np.fromfile(os.path.join(d, "xscale.f32"), np.float32)[0]
    yscale = np.float32(0.05)
    bias_q = np.rint(b / (xscale * s)).astype(np.int32)
    inits = [numpy_helper.from_array(np.array(xscale, np.float32), "xs"),
             numpy_helper.from_array(np.array(zp, np.uint8), "xz"),
             numpy_helper.from_array(w, "w"), numpy_helper.from_array(s, "ws"),
             numpy_helper.from_array(np.zeros(G["cout"], np.int8), "wz"),
             numpy_helper.from_array(np.array(yscale, np.float32), "ys"),
             numpy_helper.from_array(np.array(128, np.uint8), "yz"),
             numpy_helper.from_array(bias_q, "bq")]
    nodes = [helper.make_node("QuantizeLinear", ["x", "xs", "xz"], ["xq"], name="q"),
             helper.make_node("QLinearConv", ["xq", "xs", "xz", "w", "ws", "wz", "ys", "yz", "bq"], ["yq"],
                              name="conv", **_attrs(G)),
             helper.make_node("DequantizeLinear", ["yq", "ys", "yz"], ["y"], name="dq")]
    vi = helper.make_tensor_value_info
    onnx.save(_model(nodes, [vi("x", TensorProto.FLOAT, xs)], [vi("y", TensorProto.FLOAT, ys)], inits), a.out)


def register(sub):
    p = sub.add_parser("int8-ref", help="numpy reference of Int8ConvVNNI over the arrays in DIR")
    p.add_argument("dir")
    _opts(p)
    p.set_defaults(func=_cmd_ref)
    for name, fn, help_ in (("int8-model", _cmd_int8, "one Int8ConvVNNI node"),
                            ("convinteger-model", _cmd_convinteger, "one ONNX ConvInteger node"),
                            ("conv-model", _cmd_conv, "one float Conv node"),
                            ("qlinearconv-model", _cmd_qlinear, "Quantize, QLinearConv, Dequantize")):
        p = sub.add_parser(name, help=help_)
        p.add_argument("out")
        p.add_argument("--dir", default="", help="weights, scales and bias as initializers from this directory")
        _opts(p)
        p.set_defaults(func=fn)
