"""ONNX graphs for the graph-surgery and custom-operator tests: GridSample chains, the student
blend MatMul, reference serialisations of single messages, and a large model for benchmarks."""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def _parse_node_desc(desc):
    """'mode=bilinear,padding_mode=border,align_corners=0,domain=ai.onnx' -> dict; absent keys are
    absent attributes."""
    out = {}
    for part in filter(None, desc.split(",")):
        key, _, value = part.partition("=")
        out[key] = value
    return out


def _finish(model, path, check):
    if check:
        onnx.checker.check_model(model)
    onnx.save(model, path)


def gridsample_model(a):
    """X [N,C,H,W] and grid [N,H,W,2] through a chain of GridSample nodes, one per --node description,
    each sampling the previous node's output with the same grid; Y = Identity(last)."""
    descs = a.node or ["mode=bilinear,padding_mode=border,align_corners=0"]
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, [a.n, a.c, a.h, a.w])
    grid_shape = ["gn", "gh", "gw", 2] if a.free_grid else [a.n, a.h, a.w, 2]
    grid = helper.make_tensor_value_info("grid", TensorProto.FLOAT, grid_shape)
    y = helper.make_tensor_value_info("Y", TensorProto.FLOAT, ["yn", "yc", "yh", "yw"] if a.free_grid
                                      else [a.n, a.c, a.h, a.w])
    nodes = []
    prev = "X"
    for k, desc in enumerate(descs):
        s = _parse_node_desc(desc)
        attrs = {}
        for key in ("mode", "padding_mode"):
            if key in s:
                attrs[key] = s[key]
        if "align_corners" in s:
            attrs["align_corners"] = int(s["align_corners"])
        out = "t%d" % k
        node = helper.make_node("GridSample", [prev, "grid"], [out], name=s.get("name", "gs%d" % k),
                                doc_string="sample %d" % k, **attrs)
        if "domain" in s:
            node.domain = s["domain"]
        nodes.append(node)
        prev = out
    nodes.append(helper.make_node("Identity", [prev], ["Y"], name="out"))
    graph = helper.make_graph(nodes, "gridsample_chain", [x, grid], [y])
    imports = [helper.make_opsetid("", a.opset)]
    if a.zephrane_import:
        imports.append(helper.make_opsetid("com.zephrane", 1))
    model = helper.make_model(graph, opset_imports=imports, producer_name="ka-forge", doc_string="forge graph")
    model.ir_version = 9 if a.opset >= 19 else 8
    helper.set_model_props(model, {"purpose": "gridsample rewrite"})
    # onnx's checker predates opset 20 and knows no com.zephrane: only the plain models are checked.
    _finish(model, a.out, check=a.opset <= 17 and not a.zephrane_import and
            all("domain" not in _parse_node_desc(s) for s in descs))


def blend_model(a):
    """Y = MatMul(A [4,K], B [K,5]) named --name, optionally with an attribute or a foreign domain,
    followed by Relu."""
    rng = np.random.default_rng(7)
    A = helper.make_tensor_value_info("A", TensorProto.FLOAT, [4, a.k])
    Y = helper.make_tensor_value_info("Y", TensorProto.FLOAT, [4, 5])
    B = numpy_helper.from_array(rng.standard_normal((a.k, 5)).astype(np.float32), "B")
    mm = helper.make_node("MatMul", ["A", "B"], ["m"], name=a.name)
    if a.attr:
        mm.attribute.append(helper.make_attribute("note", 1))
    if a.domain:
        mm.domain = a.domain
    graph = helper.make_graph([mm, helper.make_node("Relu", ["m"], ["Y"], name="relu")], "blend", [A], [Y], [B])
    imports = [helper.make_opsetid("", 17)]
    if a.domain and a.domain != "ai.onnx":
        imports.append(helper.make_opsetid(a.domain, 1))
    model = helper.make_model(graph, opset_imports=imports, producer_name="ka-forge")
    model.ir_version = 8
    _finish(model, a.out, check=not a.attr and not a.domain)


def wire_refs(a):
    """Single messages serialised by the onnx package, to compare the C++ emitters against."""
    os.makedirs(a.dir, exist_ok=True)

    def put(name, msg):
        with open(os.path.join(a.dir, name), "wb") as f:
            f.write(msg.SerializeToString())

    put("vi_hoist.bin", helper.make_tensor_value_info("boundary", TensorProto.FLOAT, [1, "ka_hoist_d1", 64, 64]))
    put("node_resize.bin", helper.make_node("Resize", ["x", "", "scales"], ["y"], name="head/resize",
                                            mode="cubic", exclude_outside=1, axes=[-2, 3]))
    put("init_w.bin", numpy_helper.from_array(np.arange(6, dtype=np.float32).reshape(2, 3) - 2.5, "w"))
    both = TensorProto()
    both.data_type = TensorProto.FLOAT
    both.dims.extend([2])
    both.float_data.extend([7.0, 8.0])
    both.raw_data = np.array([1.5, -2.25], dtype=np.float32).tobytes()
    put("tensor_raw_and_float.bin", both)
    floats = TensorProto()
    floats.data_type = TensorProto.FLOAT
    floats.dims.extend([3])
    floats.float_data.extend([0.5, -1.0, 3.0e38])
    put("tensor_float_data.bin", floats)
    put("tensor_int64.bin", numpy_helper.from_array(np.array([1, 2], dtype=np.int64), "i"))
    put("node_resize_attrs.bin", helper.make_node(
        "Resize", ["x", "", "", "sizes"], ["y"], mode="cubic", coordinate_transformation_mode="half_pixel",
        keep_aspect_ratio_policy="stretch", cubic_coeff_a=-0.5, axes=[2, 3], exclude_outside=1, antialias=0))
    put("node_const.bin", helper.make_node("Constant", [], ["c"], value=numpy_helper.from_array(
        np.array([0.25, 4.0], dtype=np.float32), "cv")))


def big_model(a):
    """A model of about --mb megabytes: large float initializers feeding a chain of small nodes, two
    qualifying GridSample nodes and the student blend MatMul, like a director graph in size."""
    rng = np.random.default_rng(1)
    per = 1 << 20
    count = max(1, int(a.mb))
    inits, nodes = [], []
    prev = "A"
    for i in range(count):
        w = rng.standard_normal(per // 4).astype(np.float32)
        inits.append(numpy_helper.from_array(w, "w%d" % i))
        nodes.append(helper.make_node("ReduceSum", ["w%d" % i], ["s%d" % i], name="sum%d" % i, keepdims=0))
        nodes.append(helper.make_node("Add", [prev, "s%d" % i], ["a%d" % i], name="add%d" % i))
        prev = "a%d" % i
    for k in range(a.nodes):
        nodes.append(helper.make_node("Relu", [prev], ["r%d" % k], name="relu%d" % k))
        prev = "r%d" % k
    inits.append(numpy_helper.from_array(rng.standard_normal((8, 5)).astype(np.float32), "B"))
    nodes.append(helper.make_node("MatMul", [prev, "B"], ["blend"], name="/s2/blend"))
    nodes.append(helper.make_node("GridSample", ["X", "grid"], ["g0"], name="gs0", mode="bilinear",
                                  padding_mode="border", align_corners=0))
    nodes.append(helper.make_node("GridSample", ["g0", "grid"], ["g1"], name="gs1", mode="bilinear",
                                  padding_mode="border", align_corners=0))
    inputs = [helper.make_tensor_value_info("A", TensorProto.FLOAT, [4, 8]),
              helper.make_tensor_value_info("X", TensorProto.FLOAT, [1, 3, 32, 32]),
              helper.make_tensor_value_info("grid", TensorProto.FLOAT, [1, 32, 32, 2])]
    outputs = [helper.make_tensor_value_info("blend", TensorProto.FLOAT, [4, 5]),
               helper.make_tensor_value_info("g1", TensorProto.FLOAT, [1, 3, 32, 32])]
    graph = helper.make_graph(nodes, "big", inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="ka-forge")
    model.ir_version = 8
    onnx.save(model, a.out)


def edit_model(a):
    """A graph with inputs P_rgb and kp, four nodes n0..n3, a value_info "mid" and two outputs,
    for the rebuilder's edits."""
    p = helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [1, 3, 8, 8])
    kp = helper.make_tensor_value_info("kp", TensorProto.FLOAT, [1, 21, 3])
    nodes = [helper.make_node("Relu", ["P_rgb"], ["mid"], name="n0"),
             helper.make_node("Neg", ["mid"], ["Y"], name="n1"),
             helper.make_node("Abs", ["kp"], ["k1"], name="n2"),
             helper.make_node("Neg", ["k1"], ["Z"], name="n3")]
    outputs = [helper.make_tensor_value_info("Y", TensorProto.FLOAT, [1, 3, 8, 8]),
               helper.make_tensor_value_info("Z", TensorProto.FLOAT, [1, 21, 3])]
    graph = helper.make_graph(nodes, "edit", [p, kp], outputs,
                              [numpy_helper.from_array(np.ones(4, np.float32), "unused")],
                              value_info=[helper.make_tensor_value_info("mid", TensorProto.FLOAT, [1, 3, 8, 8]),
                                          helper.make_tensor_value_info("k1", TensorProto.FLOAT, [1, 21, 3])])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], producer_name="ka-forge")
    model.ir_version = 8
    helper.set_model_props(model, {"k": "v"})
    _finish(model, a.out, check=True)


def _dims(vi):
    out = []
    for d in vi.type.tensor_type.shape.dim:
        out.append(str(d.dim_value) if d.HasField("dim_value") else (d.dim_param or "?"))
    return "x".join(out)


def summary(a):
    """One line per opset import, graph input/output/value_info, initializer and node, as the onnx
    package parses the model."""
    m = onnx.load(a.model)
    lines = ["producer %s" % m.producer_name, "doc %s" % m.doc_string]
    lines += ["meta %s=%s" % (p.key, p.value) for p in m.metadata_props]
    lines += ["opset %s %d" % (o.domain or "-", o.version) for o in m.opset_import]
    g = m.graph
    lines += ["input %s %s" % (v.name, _dims(v)) for v in g.input]
    lines += ["output %s %s" % (v.name, _dims(v)) for v in g.output]
    lines += ["value_info %s %s" % (v.name, _dims(v)) for v in g.value_info]
    lines += ["init %s %s" % (t.name, "x".join(map(str, t.dims))) for t in g.initializer]
    for n in g.node:
        lines.append("node %s|%s|%s|%s|%s|%s|%s" % (n.name, n.op_type, n.domain or "-", ",".join(n.input),
                                                   ",".join(n.output), ",".join(x.name for x in n.attribute),
                                                   n.doc_string))
    with open(a.out, "w") as f:
        f.write("\n".join(lines) + "\n")


def verify_edits(a):
    """Checks models the rebuilder edited against the same edit made by the onnx package. Each line
    of the list file: ORIGINAL EDITED KIND, KIND one of drop-outputs, drop-node0, add-vi."""
    bad = []
    count = 0
    with open(a.list) as f:
        for line in f:
            if not line.strip():
                continue
            src, dst, kind = line.split()
            want = onnx.load(src)
            got = onnx.load(dst)
            g = want.graph
            if kind == "drop-outputs":
                del g.output[:]
            elif kind == "drop-node0":
                if len(g.node):
                    del g.node[0]
            elif kind == "add-vi":
                keep = [v for v in g.value_info if v.name != "ka_extra"]
                del g.value_info[:]
                g.value_info.extend(keep)
                g.value_info.append(helper.make_tensor_value_info("ka_extra", TensorProto.FLOAT,
                                                                  [2, "ka_hoist_d1"]))
            else:
                raise SystemExit("unknown edit " + kind)
            count += 1
            if want != got:
                bad.append("%s %s" % (kind, src))
    print("verify-edits: %d models, %d mismatches" % (count, len(bad)))
    for b in bad[:10]:
        print("  mismatch:", b)
    return 1 if bad or count == 0 else 0


def register(sub):
    p = sub.add_parser("edit-model", help="a small graph with P_rgb, value_info and two outputs")
    p.add_argument("out")
    p.set_defaults(func=edit_model)

    p = sub.add_parser("onnx-summary", help="a line-per-entry text summary of a model, as onnx parses it")
    p.add_argument("model")
    p.add_argument("out")
    p.set_defaults(func=summary)

    p = sub.add_parser("verify-edits", help="compare edited models with the onnx package's own edit")
    p.add_argument("list")
    p.set_defaults(func=verify_edits)

    p = sub.add_parser("gridsample-model", help="a chain of GridSample nodes over X and grid")
    p.add_argument("out")
    p.add_argument("--node", action="append",
                   help="one GridSample: mode=,padding_mode=,align_corners=,domain=,name= (absent keys stay absent)")
    p.add_argument("--opset", type=int, default=16)
    p.add_argument("--zephrane-import", action="store_true", help="also import com.zephrane version 1")
    p.add_argument("--free-grid", action="store_true", help="declare the grid's shape (and Y's) symbolic")
    p.add_argument("--n", type=int, default=1)
    p.add_argument("--c", type=int, default=3)
    p.add_argument("--h", type=int, default=5)
    p.add_argument("--w", type=int, default=6)
    p.set_defaults(func=gridsample_model)

    p = sub.add_parser("blend-model", help="a MatMul (the student blend by default) followed by Relu")
    p.add_argument("out")
    p.add_argument("--name", default="/s2/blend")
    p.add_argument("--attr", action="store_true", help="give the MatMul an attribute")
    p.add_argument("--domain", default="", help="put the MatMul in this domain")
    p.add_argument("--k", type=int, default=8)
    p.set_defaults(func=blend_model)

    p = sub.add_parser("wire-refs", help="single ONNX messages serialised by the onnx package")
    p.add_argument("dir")
    p.set_defaults(func=wire_refs)

    p = sub.add_parser("big-model", help="a model of about --mb megabytes with GridSample and blend nodes")
    p.add_argument("out")
    p.add_argument("--mb", type=float, default=50)
    p.add_argument("--nodes", type=int, default=400, help="extra small nodes")
    p.set_defaults(func=big_model)
