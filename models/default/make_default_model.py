#!/usr/bin/python3
"""Writes the bundled default model, a classical noise suppressor, as denoise.onnx.

Per frame and bin it keeps, in the recurrent state:
  - the natural logarithm of the noise floor, tracked on the smoothed power: it follows
    the power down at once and rises by at most RISE per frame (about 8.6 dB per second),
    so speech bursts do not lift it while a louder steady noise is picked up within a
    second or two. It is kept as a logarithm because the minimum of two powers written
    with Relu, a - relu(a - b), cancels to zero in single precision when b is more than
    2^24 times smaller than a, and a zero floor could never rise again;
  - the smoothed power;
  - the smoothed gain;
  - the clean-power estimate of the previous frame, for the decision-directed prior SNR;
  - the last four gained spectra, so that the output lines up with the input after the
    cleaning run's four-hop advance.
The gain is the Wiener gain of the decision-directed prior SNR, floored at GAIN_FLOOR and
smoothed over time.
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

BINS = 161
SPEC_VALUES = 2 * BINS
DELAY_HOPS = 4
FIFO = DELAY_HOPS * SPEC_VALUES

POWER_FLOOR = 1e-10       # keeps every ratio finite on digital silence
POWER_SMOOTHING = 0.5     # weight of the previous smoothed power
RISE = 1.02               # largest rise of the noise floor per frame
NOISE_BIAS = 2.0          # a floor tracked on minima sits below the mean noise power
DECISION_WEIGHT = 0.9     # weight of the previous frame in the prior SNR
GAIN_FLOOR = 0.05         # about -26 dB: residual noise stays natural, never pumps to silence
GAIN_SMOOTHING = 0.15     # weight of the previous gain

NOISE_START = 1e5         # above any frame power: the floor falls onto the real noise at once
E = float(np.float32(np.e))
STATE_PARTS = [BINS, BINS, BINS, BINS, FIFO]  # log noise, power, gain, clean power, delay line
STATE_SIZE = sum(STATE_PARTS)


def scalar(name, value):
    return numpy_helper.from_array(np.array(value, dtype=np.float32), name)


def ints(name, values):
    return numpy_helper.from_array(np.array(values, dtype=np.int64), name)


def build():
    constants = [
        ints("bins_by_two", [BINS, 2]),
        ints("spec_shape", [1, 1, BINS, 2]),
        ints("flat", [SPEC_VALUES]),
        ints("axis1", [1]),
        ints("state_parts", STATE_PARTS),
        ints("zero", [0]),
        ints("spec_values", [SPEC_VALUES]),
        ints("fifo_values", [FIFO]),
        scalar("power_floor", POWER_FLOOR),
        scalar("power_keep", POWER_SMOOTHING),
        scalar("power_take", 1.0 - POWER_SMOOTHING),
        scalar("log_rise", np.log(RISE)),
        scalar("log_noise_bias", np.log(NOISE_BIAS)),
        scalar("e", E),
        scalar("one", 1.0),
        scalar("dd_keep", DECISION_WEIGHT),
        scalar("dd_take", 1.0 - DECISION_WEIGHT),
        scalar("gain_floor", GAIN_FLOOR),
        scalar("gain_keep", GAIN_SMOOTHING),
        scalar("gain_take", 1.0 - GAIN_SMOOTHING),
    ]
    n = helper.make_node
    nodes = [
        n("Reshape", ["spec", "bins_by_two"], ["x"]),
        n("Mul", ["x", "x"], ["x_squared"]),
        n("ReduceSum", ["x_squared", "axis1"], ["power_raw"], keepdims=0),
        n("Add", ["power_raw", "power_floor"], ["power"]),
        n("Split", ["state_in", "state_parts"],
          ["noise", "smoothed", "gain", "clean_power", "fifo"], axis=0),
        # smoothed power
        n("Mul", ["smoothed", "power_keep"], ["smoothed_kept"]),
        n("Mul", ["power", "power_take"], ["power_taken"]),
        n("Add", ["smoothed_kept", "power_taken"], ["smoothed_next"]),
        # log noise floor: min(log smoothed, log noise + log rise), the minimum written as
        # a - relu(a - b)
        n("Log", ["smoothed_next"], ["log_smoothed"]),
        n("Add", ["noise", "log_rise"], ["noise_risen"]),
        n("Sub", ["log_smoothed", "noise_risen"], ["excess"]),
        n("Relu", ["excess"], ["excess_positive"]),
        n("Sub", ["log_smoothed", "excess_positive"], ["noise_next"]),
        n("Add", ["noise_next", "log_noise_bias"], ["log_noise_power"]),
        n("Pow", ["e", "log_noise_power"], ["noise_power"]),
        # decision-directed prior SNR
        n("Div", ["power", "noise_power"], ["posterior"]),
        n("Sub", ["posterior", "one"], ["posterior_less_one"]),
        n("Relu", ["posterior_less_one"], ["instant_snr"]),
        n("Div", ["clean_power", "noise_power"], ["previous_snr"]),
        n("Mul", ["previous_snr", "dd_keep"], ["previous_part"]),
        n("Mul", ["instant_snr", "dd_take"], ["instant_part"]),
        n("Add", ["previous_part", "instant_part"], ["prior"]),
        # Wiener gain, written 1 - 1 / (1 + prior) so that an infinite prior gives 1
        n("Add", ["prior", "one"], ["prior_plus_one"]),
        n("Div", ["one", "prior_plus_one"], ["wiener_loss"]),
        n("Sub", ["one", "wiener_loss"], ["wiener"]),
        n("Sub", ["wiener", "gain_floor"], ["above_floor"]),
        n("Relu", ["above_floor"], ["above_floor_positive"]),
        n("Add", ["above_floor_positive", "gain_floor"], ["floored"]),
        n("Mul", ["gain", "gain_keep"], ["gain_kept"]),
        n("Mul", ["floored", "gain_take"], ["gain_taken"]),
        n("Add", ["gain_kept", "gain_taken"], ["gain_next"]),
        n("Mul", ["gain_next", "gain_next"], ["gain_squared"]),
        n("Mul", ["gain_squared", "power"], ["clean_power_next"]),
        # gained spectrum into the delay line; the oldest one leaves it
        n("Unsqueeze", ["gain_next", "axis1"], ["gain_column"]),
        n("Mul", ["x", "gain_column"], ["y"]),
        n("Reshape", ["y", "flat"], ["y_flat"]),
        n("Slice", ["fifo", "zero", "spec_values"], ["oldest"]),
        n("Reshape", ["oldest", "spec_shape"], ["spec_e"]),
        n("Slice", ["fifo", "spec_values", "fifo_values"], ["fifo_rest"]),
        n("Concat", ["fifo_rest", "y_flat"], ["fifo_next"], axis=0),
        n("Concat", ["noise_next", "smoothed_next", "gain_next", "clean_power_next",
                     "fifo_next"], ["state_out"], axis=0),
    ]
    graph = helper.make_graph(
        nodes, "denoise",
        [helper.make_tensor_value_info("spec", TensorProto.FLOAT, [1, 1, BINS, 2]),
         helper.make_tensor_value_info("state_in", TensorProto.FLOAT, [STATE_SIZE])],
        [helper.make_tensor_value_info("spec_e", TensorProto.FLOAT, [1, 1, BINS, 2]),
         helper.make_tensor_value_info("state_out", TensorProto.FLOAT, [STATE_SIZE])],
        constants)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)],
                              producer_name="wrenpad")
    metadata = {
        "model_type": "dpdfnet", "sample_rate": "16000", "n_fft": "320",
        "hop_length": "160", "window_length": "320", "window_type": "vorbis",
        "normalized": "0", "center": "1", "pad_mode": "reflect", "freq_bins": "161",
        "state_size": str(STATE_SIZE),
        "erb_norm_init": ",".join([repr(float(np.float32(np.log(NOISE_START))))] * BINS),
        # smoothed power starts at zero, the smoothed gain at one
        "spec_norm_init": ",".join(["0"] * BINS + ["1"] * BINS),
    }
    helper.set_model_props(model, metadata)
    onnx.checker.check_model(model)
    return model


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    onnx.save(build(), os.path.join(here, "denoise.onnx"))
