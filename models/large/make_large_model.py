#!/usr/bin/python3
"""Writes a larger speech-enhancement model of the family the cleaner is made for, with
random weights, for benchmarks: causal convolutions whose past frames travel in the
state, a Gemm bottleneck with LayerNormalization, two stacked 256-unit GRUs carried from
frame to frame, a bidirectional GRU across frequency bands within the frame, and Gemm
layers that end in a per-bin gain. About two million parameters.

usage: make_large_model.py OUTPUT.onnx
"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

BINS = 161
CONTEXT = 2              # past frames each causal convolution sees
CONV1, CONV2, CONV3 = 32, 32, 16
BANDS = 81               # frequency columns after the strided convolution
HIDDEN = 256
BAND_HIDDEN = 32
BAND_FEATURES = 4
WIDE = 1024

STATE_PARTS = [CONTEXT * 2 * BINS, CONTEXT * CONV1 * BINS, HIDDEN, HIDDEN]
STATE_SIZE = sum(STATE_PARTS)

rng = np.random.default_rng(7)


def weight(name, shape, fan_in):
    values = rng.standard_normal(shape) / np.sqrt(fan_in)
    return numpy_helper.from_array(values.astype(np.float32), name)


def bias(name, size):
    return numpy_helper.from_array((0.01 * rng.standard_normal(size)).astype(np.float32), name)


def ints(name, values):
    return numpy_helper.from_array(np.array(values, dtype=np.int64), name)


def gru_weights(prefix, directions, inputs, hidden):
    return [weight(prefix + "_w", [directions, 3 * hidden, inputs], inputs),
            weight(prefix + "_r", [directions, 3 * hidden, hidden], hidden),
            bias(prefix + "_b", [directions, 6 * hidden])]


def build():
    constants = [
        weight("conv1_w", [CONV1, 2, 3, 3], 2 * 9), bias("conv1_b", [CONV1]),
        weight("conv2_w", [CONV2, CONV1, 3, 3], CONV1 * 9), bias("conv2_b", [CONV2]),
        weight("conv3_w", [CONV3, CONV2, 1, 1], CONV2), bias("conv3_b", [CONV3]),
        weight("bottleneck_w", [HIDDEN, CONV3 * BANDS], CONV3 * BANDS),
        bias("bottleneck_b", [HIDDEN]),
        numpy_helper.from_array(np.ones(HIDDEN, np.float32), "norm_scale"),
        bias("norm_bias", [HIDDEN]),
        *gru_weights("gru1", 1, HIDDEN, HIDDEN),
        *gru_weights("gru2", 1, HIDDEN, HIDDEN),
        *gru_weights("bands", 2, CONV3, BAND_HIDDEN),
        weight("band_out_w", [2 * BAND_HIDDEN, BAND_FEATURES], 2 * BAND_HIDDEN),
        weight("wide_w", [HIDDEN + BANDS * BAND_FEATURES, WIDE], HIDDEN + BANDS * BAND_FEATURES),
        bias("wide_b", [WIDE]),
        weight("gain_w", [WIDE, BINS], WIDE), bias("gain_b", [BINS]),
        ints("state_parts", STATE_PARTS),
        ints("ctx1_shape", [1, 2, CONTEXT, BINS]),
        ints("ctx2_shape", [1, CONV1, CONTEXT, BINS]),
        ints("hidden_shape", [1, 1, HIDDEN]),
        ints("row", [1, -1]),
        ints("flat", [-1]),
        ints("bands_by_channels", [CONV3, BANDS]),
        ints("band_sequence", [BANDS, 1, CONV3]),
        ints("band_rows", [BANDS, 2 * BAND_HIDDEN]),
        ints("gain_shape", [1, 1, BINS, 1]),
        ints("one", [1]), ints("context_end", [CONTEXT + 1]), ints("time_axis", [2]),
    ]
    n = helper.make_node
    nodes = [
        n("Split", ["state_in", "state_parts"], ["ctx1_flat", "ctx2_flat", "h1", "h2"], axis=0),
        n("Reshape", ["ctx1_flat", "ctx1_shape"], ["ctx1"]),
        n("Reshape", ["ctx2_flat", "ctx2_shape"], ["ctx2"]),
        n("Reshape", ["h1", "hidden_shape"], ["h1_start"]),
        n("Reshape", ["h2", "hidden_shape"], ["h2_start"]),
        # causal convolutions over (time, frequency); the last CONTEXT frames are kept
        n("Transpose", ["spec"], ["frame"], perm=[0, 3, 1, 2]),
        n("Concat", ["ctx1", "frame"], ["conv1_in"], axis=2),
        n("Conv", ["conv1_in", "conv1_w", "conv1_b"], ["conv1_out"], pads=[0, 1, 0, 1]),
        n("Relu", ["conv1_out"], ["conv1"]),
        n("Slice", ["conv1_in", "one", "context_end", "time_axis"], ["ctx1_next"]),
        n("Concat", ["ctx2", "conv1"], ["conv2_in"], axis=2),
        n("Conv", ["conv2_in", "conv2_w", "conv2_b"], ["conv2_out"], pads=[0, 1, 0, 1],
          strides=[1, 2]),
        n("Relu", ["conv2_out"], ["conv2"]),
        n("Slice", ["conv2_in", "one", "context_end", "time_axis"], ["ctx2_next"]),
        n("Conv", ["conv2", "conv3_w", "conv3_b"], ["conv3_out"]),
        n("Relu", ["conv3_out"], ["conv3"]),
        # bottleneck and the two recurrent layers
        n("Reshape", ["conv3", "row"], ["features"]),
        n("Gemm", ["features", "bottleneck_w", "bottleneck_b"], ["bottleneck_out"], transB=1),
        n("Relu", ["bottleneck_out"], ["bottleneck"]),
        n("LayerNormalization", ["bottleneck", "norm_scale", "norm_bias"], ["normed"], axis=-1),
        n("Reshape", ["normed", "hidden_shape"], ["gru1_in"]),
        n("GRU", ["gru1_in", "gru1_w", "gru1_r", "gru1_b", "", "h1_start"], ["gru1_y", "h1_next"],
          hidden_size=HIDDEN, linear_before_reset=1),
        n("Reshape", ["gru1_y", "hidden_shape"], ["gru2_in"]),
        n("GRU", ["gru2_in", "gru2_w", "gru2_r", "gru2_b", "", "h2_start"], ["gru2_y", "h2_next"],
          hidden_size=HIDDEN, linear_before_reset=1),
        # a bidirectional GRU across the frequency bands of this frame
        n("Reshape", ["conv3", "bands_by_channels"], ["channels_by_band"]),
        n("Transpose", ["channels_by_band"], ["band_by_channels"], perm=[1, 0]),
        n("Reshape", ["band_by_channels", "band_sequence"], ["band_in"]),
        n("GRU", ["band_in", "bands_w", "bands_r", "bands_b"], ["band_y"],
          hidden_size=BAND_HIDDEN, linear_before_reset=1, direction="bidirectional"),
        n("Reshape", ["band_y", "band_rows"], ["band_rows_out"]),
        n("MatMul", ["band_rows_out", "band_out_w"], ["band_features"]),
        n("Reshape", ["band_features", "row"], ["band_row"]),
        n("Reshape", ["h2_next", "row"], ["h2_row"]),
        n("Concat", ["h2_row", "band_row"], ["joined"], axis=1),
        n("Gemm", ["joined", "wide_w", "wide_b"], ["wide_out"]),
        n("Relu", ["wide_out"], ["wide"]),
        n("Gemm", ["wide", "gain_w", "gain_b"], ["gain_logit"]),
        n("Sigmoid", ["gain_logit"], ["gain"]),
        n("Reshape", ["gain", "gain_shape"], ["gain_column"]),
        n("Mul", ["spec", "gain_column"], ["spec_e"]),
        n("Reshape", ["ctx1_next", "flat"], ["ctx1_out"]),
        n("Reshape", ["ctx2_next", "flat"], ["ctx2_out"]),
        n("Reshape", ["h1_next", "flat"], ["h1_out"]),
        n("Reshape", ["h2_next", "flat"], ["h2_out"]),
        n("Concat", ["ctx1_out", "ctx2_out", "h1_out", "h2_out"], ["state_out"], axis=0),
    ]
    graph = helper.make_graph(
        nodes, "large",
        [helper.make_tensor_value_info("spec", TensorProto.FLOAT, [1, 1, BINS, 2]),
         helper.make_tensor_value_info("state_in", TensorProto.FLOAT, [STATE_SIZE])],
        [helper.make_tensor_value_info("spec_e", TensorProto.FLOAT, [1, 1, BINS, 2]),
         helper.make_tensor_value_info("state_out", TensorProto.FLOAT, [STATE_SIZE])],
        constants)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)],
                              producer_name="wrenpad")
    model.ir_version = 8
    helper.set_model_props(model, {
        "model_type": "dpdfnet", "sample_rate": "16000", "n_fft": "320",
        "hop_length": "160", "window_length": "320", "window_type": "vorbis",
        "normalized": "0", "center": "1", "pad_mode": "reflect", "freq_bins": "161",
        "state_size": str(STATE_SIZE), "erb_norm_init": "0", "spec_norm_init": "0",
    })
    onnx.checker.check_model(model)
    return model


def parameter_count(model):
    return sum(int(np.prod(t.dims)) for t in model.graph.initializer if t.data_type == 1)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    built = build()
    onnx.save(built, sys.argv[1])
    print(f"{sys.argv[1]}: {parameter_count(built)} parameters, state of {STATE_SIZE} values")
