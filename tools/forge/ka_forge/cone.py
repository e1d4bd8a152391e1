"""Near misses of the director's source cone, for the hoist's tests.

Each variant starts from the forged m4b director (director.build) and changes one thing around
the cone ("P_rgb" -> Pad -> three depthwise Convs -> Concat "/cone/concat"):

  two-concats    a second Concat reads P_rgb (its result unused)
  identity       P_rgb reaches the boundary Concat only through an Identity
  escape         the cone's Pad output is also read by a node outside the cone
  other-input    the cone's first Conv reads the Pad plus 0 x mean(kp_source)
  source-outside P_rgb is also read by a node outside the cone
  escape-output  the cone's Pad output is also a graph output

Every variant computes the same "rgb" as the plain director.
"""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from . import director

VARIANTS = ("two-concats", "identity", "escape", "other-input", "source-outside", "escape-output")


def _find(model, name):
    for i, n in enumerate(model.graph.node):
        if n.name == name:
            return i, n
    raise KeyError(name)


def _f32(name, v):
    return numpy_helper.from_array(np.asarray(v, dtype=np.float32), name)


def variant(kind, crop=32, batch=1):
    m = director.build(batch=batch, crop=crop)
    g = m.graph
    ci, concat = _find(m, "/cone/concat")
    pi, pad = _find(m, "/cone/pad")
    if kind == "two-concats":
        g.node.insert(ci + 1, helper.make_node("Concat", ["P_rgb", "P_rgb"], ["/near/concat2_out"],
                                               name="/near/concat2", axis=1))
    elif kind == "identity":
        g.node.insert(ci, helper.make_node("Identity", ["P_rgb"], ["/near/p_id"], name="/near/p_id"))
        concat.input[list(concat.input).index("P_rgb")] = "/near/p_id"
    elif kind == "escape":
        g.node.append(helper.make_node("Identity", [pad.output[0]], ["/near/leak_out"], name="/near/leak"))
    elif kind == "escape-output":
        g.output.append(helper.make_tensor_value_info(pad.output[0], TensorProto.FLOAT, [batch, 3, crop + 2, crop + 2]))
    elif kind == "other-input":
        _, conv = next((i, n) for i, n in enumerate(g.node) if n.op_type == "Conv" and pad.output[0] in n.input)
        g.initializer.append(_f32("/near/zero", 0.0))
        nodes = [
            helper.make_node("ReduceMean", ["kp_source"], ["/near/ks_mean"], name="/near/ks_mean", keepdims=0),
            helper.make_node("Mul", ["/near/ks_mean", "/near/zero"], ["/near/ks_zero"], name="/near/ks_zero"),
            helper.make_node("Add", [pad.output[0], "/near/ks_zero"], ["/near/mixed"], name="/near/mixed"),
        ]
        for k, n in enumerate(nodes):
            g.node.insert(pi + 1 + k, n)
        conv.input[0] = "/near/mixed"
    elif kind == "source-outside":
        g.node.append(helper.make_node("Identity", ["P_rgb"], ["/near/p_copy"], name="/near/p_reader"))
    else:
        raise ValueError("variant must be one of %s" % (VARIANTS,))
    return m


def _cmd(a):
    m = variant(a.variant, crop=a.crop, batch=a.batch)
    onnx.checker.check_model(m)
    onnx.save(m, a.out)


def register(sub):
    p = sub.add_parser("cone-near-miss", help="a director whose source cone misses the hoist's pattern")
    p.add_argument("out")
    p.add_argument("variant", choices=VARIANTS)
    p.add_argument("--crop", type=int, default=32)
    p.add_argument("--batch", type=int, default=1)
    p.set_defaults(func=_cmd)
