"""Small ONNX models for tests of the ONNX Runtime path."""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def save(model, path):
    onnx.checker.check_model(model)
    onnx.save(model, path)


def tiny_model(path):
    """y = x * 2 + 0.5 over float[2,3]; inputs "x", output "y"."""
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [2, 3])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [2, 3])
    two = numpy_helper.from_array(np.array(2.0, dtype=np.float32), "two")
    half = numpy_helper.from_array(np.array(0.5, dtype=np.float32), "half")
    nodes = [helper.make_node("Mul", ["x", "two"], ["t"]), helper.make_node("Add", ["t", "half"], ["y"])]
    graph = helper.make_graph(nodes, "affine", [x], [y], [two, half])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    save(model, path)


def register(sub):
    p = sub.add_parser("tiny-model", help="a two-node float model (y = 2x + 0.5)")
    p.add_argument("out")
    p.set_defaults(func=lambda a: tiny_model(a.out))
