#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets under fuzz/corpus/.

model/: every fixture model of models/ (the large benchmark model in a narrow
variant of the same graph), and a small model that runs every operator of the
catalogue through the cleaning call.
evaluate_op/: one input per operation kind and form (every unary and arithmetic
function, each optional input, transposed weights, groups, directions), written in
the byte format that evaluate_op_entry in fuzz/entries.h reads.

Run from anywhere: ./fuzz/make_seeds.py
"""
import glob
import hashlib
import importlib.util
import os
import shutil
import struct
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")

METADATA = {
    "model_type": "dpdfnet", "sample_rate": "16000", "n_fft": "320", "hop_length": "160",
    "window_length": "320", "window_type": "vorbis", "normalized": "0", "center": "1",
    "pad_mode": "reflect", "freq_bins": "161",
}


def put(directory, data, name=None):
    os.makedirs(directory, exist_ok=True)
    name = name or hashlib.sha1(data).hexdigest()
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def narrow_large_model():
    """The benchmark model's graph with every layer a few units wide."""
    spec = importlib.util.spec_from_file_location(
        "large", os.path.join(ROOT, "models", "large", "make_large_model.py"))
    large = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(large)
    large.CONV1, large.CONV2, large.CONV3 = 3, 3, 2
    large.HIDDEN, large.BAND_HIDDEN, large.BAND_FEATURES, large.WIDE = 6, 3, 2, 8
    large.STATE_PARTS = [large.CONTEXT * 2 * large.BINS, large.CONTEXT * large.CONV1 * large.BINS,
                         large.HIDDEN, large.HIDDEN]
    large.STATE_SIZE = sum(large.STATE_PARTS)
    return large.build().SerializeToString()


def every_operator_model():
    """A model that runs every operator of the catalogue on each frame and cleans
    successfully: unary and arithmetic functions, shape operators, ReduceSum, Conv,
    Gemm, MatMul, LayerNormalization and a GRU whose hidden state is the model state."""
    rng = np.random.default_rng(3)

    def f32(name, values):
        return numpy_helper.from_array(np.asarray(values, dtype=np.float32), name)

    def i64(name, values):
        return numpy_helper.from_array(np.asarray(values, dtype=np.int64), name)

    hidden = 4
    constants = [
        i64("axis0", [0]), i64("flat_row", [1, 322]), i64("spec_shape", [1, 1, 161, 2]),
        i64("pair", [161, 2]), i64("gather_rows", [0, 160, -1]),
        i64("one", [1]), i64("three", [3]), i64("start", [0]), i64("h_shape", [1, 1, hidden]),
        i64("flat", [-1]), i64("h_len", [hidden]),
        f32("tiny", 1e-6), f32("onef", 1.0), f32("half", 0.5), f32("scale_half", [0.5, 0.5]),
        f32("gemm_b", rng.standard_normal((3, 3)) * 0.1), f32("gemm_c", [0.0, 0.1, -0.1]),
        f32("mm_b", rng.standard_normal((3, hidden)) * 0.1),
        f32("conv_w", rng.standard_normal((2, 2, 3, 1)) * 0.1), f32("conv_b", [0.0, 0.0]),
        f32("ln_scale", np.ones(hidden)), f32("ln_bias", np.zeros(hidden)),
        f32("gru_w", rng.standard_normal((1, 3 * hidden, hidden)) * 0.3),
        f32("gru_r", rng.standard_normal((1, 3 * hidden, hidden)) * 0.3),
        f32("gru_b", np.zeros((1, 6 * hidden))),
    ]
    n = helper.make_node
    nodes = [
        n("Identity", ["spec"], ["x"]),
        n("Squeeze", ["x", "axis0"], ["x3"]),
        n("Unsqueeze", ["x3", "axis0"], ["x4"]),
        n("Flatten", ["x4"], ["row"], axis=2),
        n("Mul", ["row", "row"], ["power"]),
        n("Add", ["power", "tiny"], ["power_eps"]),
        n("Sqrt", ["power_eps"], ["magnitude"]),
        n("Log", ["magnitude"], ["log_magnitude"]),
        n("Pow", ["magnitude", "half"], ["root"]),
        n("Sub", ["root", "tiny"], ["root_less"]),
        n("Div", ["row", "root_less"], ["unit"]),
        n("ReduceSum", ["log_magnitude", "one"], ["energy"], keepdims=1),
        n("Tanh", ["energy"], ["squashed"]),
        n("Sigmoid", ["squashed"], ["gain"]),
        # a Conv over bins by (real, imaginary)
        n("Reshape", ["row", "spec_shape"], ["image"]),
        n("Transpose", ["image"], ["planes"], perm=[0, 3, 2, 1]),
        n("Conv", ["planes", "conv_w", "conv_b"], ["conv"], pads=[1, 0, 1, 0]),
        n("Relu", ["conv"], ["conv_relu"]),
        n("Split", ["conv_relu"], ["plane_re", "plane_im"], axis=1),
        n("Concat", ["plane_re", "plane_im"], ["planes_again"], axis=1),
        n("Transpose", ["planes_again"], ["bins_last"], perm=[0, 3, 2, 1]),
        n("Reshape", ["bins_last", "pair"], ["bin_pairs"]),
        n("Gather", ["bin_pairs", "gather_rows"], ["picked"], axis=0),
        n("Slice", ["picked", "start", "three", "one"], ["picked_pair"]),
        n("Gemm", ["picked_pair", "gemm_b", "gemm_c"], ["projected"], transA=1, alpha=0.5),
        n("MatMul", ["projected", "mm_b"], ["features"]),
        n("LayerNormalization", ["features", "ln_scale", "ln_bias"], ["normed"], axis=-1),
        n("Reshape", ["normed", "flat"], ["normed_flat"]),
        n("Slice", ["normed_flat", "start", "h_len"], ["step"]),
        n("Reshape", ["step", "h_shape"], ["gru_x"]),
        n("Reshape", ["state_in", "h_shape"], ["h_start"]),
        n("GRU", ["gru_x", "gru_w", "gru_r", "gru_b", "", "h_start"], ["gru_y", "h_next"],
          hidden_size=hidden, linear_before_reset=1),
        n("Reshape", ["h_next", "flat"], ["state_out"]),
        n("Mul", ["unit", "gain"], ["shaped"]),
        n("Mul", ["shaped", "magnitude"], ["cleaned"]),
        n("Reshape", ["cleaned", "spec_shape"], ["spec_e"]),
    ]
    graph = helper.make_graph(
        nodes, "every_operator",
        [helper.make_tensor_value_info("spec", TensorProto.FLOAT, [1, 1, 161, 2]),
         helper.make_tensor_value_info("state_in", TensorProto.FLOAT, [hidden])],
        [helper.make_tensor_value_info("spec_e", TensorProto.FLOAT, [1, 1, 161, 2]),
         helper.make_tensor_value_info("state_out", TensorProto.FLOAT, [hidden])],
        constants)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    helper.set_model_props(model, dict(METADATA, state_size=str(hidden), erb_norm_init="0.1",
                                       spec_norm_init="0,0,0.2"))
    return model.SerializeToString()


# The byte format of evaluate_op_entry (fuzz/entries.h).
def integer(v):
    if -64 <= v <= 127:
        return bytes([v + 64])
    if -32768 <= v <= 32767:
        return bytes([0xC0]) + struct.pack("<h", v)
    return bytes([0xE0]) + struct.pack("<q", v)


def value(f):
    eighths = f * 8
    if eighths == int(eighths) and -64 <= eighths <= 63:
        return bytes([int(eighths) + 64])
    return bytes([0x90]) + struct.pack("<f", f)


def dim(d):
    return bytes([d]) if d < 48 else bytes([0xE0]) + struct.pack("<H", d)


def floats(shape, values=None):
    count = int(np.prod(shape)) if shape else 1
    values = values if values is not None else [((i * 5) % 17 - 8) / 4 for i in range(count)]
    return (bytes([3, len(shape)]) + b"".join(dim(d) for d in shape)
            + b"".join(value(v) for v in values))


def ints(shape, values):
    return bytes([1, len(shape)]) + b"".join(dim(d) for d in shape) + b"".join(
        integer(v) for v in values)


ABSENT = bytes([0])


def op(kind, params, *inputs):
    return bytes([kind]) + params + bytes([len(inputs)]) + b"".join(inputs)


def evaluate_op_seeds():
    seeds = []
    for function in range(6):
        seeds.append(op(0, bytes([function]), floats([2, 3])))
    for function in range(5):
        seeds.append(op(1, bytes([function]), floats([2, 3]), floats([3])))
        seeds.append(op(1, bytes([function]), floats([2, 1, 3]), floats([4, 1])))
    seeds += [
        op(2, b"\0", floats([2, 3]), ints([2], [3, -1])),
        op(2, b"\1", floats([2, 3, 0]), ints([3], [0, 3, 2])),
        op(2, b"\0", floats([2, 3]), ints([3], [0, 1, -1])),
        op(3, b"\0", floats([2, 3, 4])),
        op(3, b"\1\3" + integer(2) + integer(0) + integer(1), floats([2, 3, 4])),
        op(4, b"", floats([4, 5]), ints([1], [1]), ints([1], [4]), ints([1], [1]), ints([1], [2])),
        op(4, b"", floats([4, 5]), ints([2], [-1, 4]), ints([2], [-5, 0]), ints([2], [0, 1]),
           ints([2], [-1, -2])),
        op(5, integer(1) + b"\2", floats([2, 4])),
        op(5, integer(-1) + b"\2", floats([2, 4]), ints([2], [1, 3])),
        op(6, b"", floats([1, 3, 1]), ints([1], [0])),
        op(6, b"", floats([1, 3, 1])),
        op(7, b"", floats([3]), ints([2], [0, 2])),
        op(8, b"\1" + integer(0), floats([2, 3]), floats([1, 3])),
        op(8, b"\1" + integer(-1), floats([2, 3]), floats([2, 0]), floats([2, 1])),
        op(9, integer(1), floats([2, 3, 4])),
        op(9, integer(0), floats([2, 3])),
        op(10, integer(0), floats([3, 2]), ints([2], [2, -1])),
        op(10, integer(1), floats([3, 2]), ints([2, 2], [0, 1, 1, 0])),
        op(11, b"\1", floats([2, 3]), ints([1], [1])),
        op(11, b"\0", floats([2, 3, 2])),
        op(11, b"\2", floats([2, 3]), ints([0], [])),
    ]
    conv = lambda group, strides, dilations, pads: (integer(group) + b"".join(map(integer, strides))
                                                    + b"".join(map(integer, dilations))
                                                    + b"".join(map(integer, pads)))
    seeds += [
        op(12, conv(1, [1, 1], [1, 1], [0, 0, 0, 0]), floats([1, 2, 5, 5]), floats([3, 2, 3, 3]),
           floats([3])),
        op(12, conv(2, [2, 1], [1, 2], [1, 0, 1, 2]), floats([1, 4, 6, 7]), floats([4, 2, 3, 2])),
        op(12, conv(1, [1, 1], [1, 1], [0, 0, 0, 0]), floats([2, 3, 4, 4]), floats([5, 3, 1, 1]),
           floats([5])),
    ]
    for flags in range(4):
        a = [3, 2] if flags & 1 else [2, 3]
        b = [4, 3] if flags & 2 else [3, 4]
        seeds.append(op(13, value(0.5) + value(1) + bytes([flags]), floats(a), floats(b),
                        floats([4])))
    seeds += [
        op(14, b"", floats([2, 3]), floats([3, 4])),
        op(14, b"", floats([2, 2, 3]), floats([3, 1])),
        op(14, b"", floats([3]), floats([2, 3, 2])),
        op(15, integer(-1) + value(0.125), floats([2, 4]), floats([4]), floats([4])),
        op(15, integer(1) + value(0.125), floats([2, 2, 3]), floats([2, 3])),
    ]
    hidden = 2
    for direction in range(3):
        d = 2 if direction == 2 else 1
        seeds.append(op(16, bytes([direction]) + integer(hidden) + b"\0",
                        floats([3, 1, 2]), floats([d, 3 * hidden, 2]),
                        floats([d, 3 * hidden, hidden]), floats([d, 6 * hidden]), ABSENT,
                        floats([d, 1, hidden])))
        seeds.append(op(16, bytes([direction]) + integer(hidden) + b"\1",
                        floats([2, 2, 3]), floats([d, 3, 3 * hidden]),
                        floats([d, hidden, 3 * hidden])))
    return seeds


def main():
    model_dir = os.path.join(CORPUS, "model")
    op_dir = os.path.join(CORPUS, "evaluate_op")
    for directory in (model_dir, op_dir):
        shutil.rmtree(directory, ignore_errors=True)
    # The hostile models and the model with the largest state cost seconds per run;
    # they are tested on their own, not fuzzed.
    fixtures = sorted(path for path in glob.glob(os.path.join(ROOT, "models", "fixtures", "**",
                                                              "*.onnx"), recursive=True)
                      if "hostile" not in path and "state_largest" not in path)
    fixtures += [os.path.join(ROOT, "models", "fixtures", "decode_tensor.pb"),
                 os.path.join(ROOT, "models", "default", "denoise.onnx")]
    for path in fixtures:
        with open(path, "rb") as model:
            put(model_dir, model.read())
    put(model_dir, narrow_large_model(), "narrow_large.onnx")
    put(model_dir, every_operator_model(), "every_operator.onnx")
    for seed in evaluate_op_seeds():
        put(op_dir, seed)
    print("wrote", len(os.listdir(model_dir)), "model seeds and", len(os.listdir(op_dir)),
          "operation seeds", file=sys.stderr)


if __name__ == "__main__":
    main()
