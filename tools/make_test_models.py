#!/usr/bin/python3
"""Writes the tiny ONNX classifiers the tests and benchmarks load as engine files.

Each model averages the normalised input over the image, undoes the per-channel
normalisation and scales the mean colour into logits, so a test picks the class by
painting its patch (BGR values as OpenCV stores them):

  colour (BGR)        mean RGB in [0, 1]   logits              top probability
  red   (0, 0, 255)   (1, 0, 0)            (10, 0, 0)          clean    0.99991
  green (0, 255, 0)   (0, 1, 0)            (0, 10, 0)          dirty    0.99991
  blue  (255, 0, 0)   (0, 0, 1)            (0, 0, 10)          stubborn 0.99991
  any grey            (v, v, v)            (10v, 10v, 10v)     clean    1/3 (tie: lowest index)

Models written to test/models/ (opset 13; only ops that OpenCV 4.6 imports):
  floor_colour.onnx         "input" 1x3x224x224 float -> "output" 1x3 float, the table above
  floor_five_outputs.onnx   the same with five outputs (two all-zero extras): wrong bindings
  floor_renamed_input.onnx  the good model with its input named "images": wrong bindings
  floor_large_input.onnx    the good model with a 1x3x256x256 input: wrong bindings
  floor_half_output.onnx    the good model with a float16 output, as an engine built with
                            half-precision output IO: wrong bindings
  floor_half_input.onnx     the good model with a float16 input, as an engine built with
                            half-precision input IO: wrong bindings
  floor_nan_scores.onnx     the good bindings, but every logit is NaN: a broken engine

Run with Debian's python3-onnx: /usr/bin/python3 tools/make_test_models.py
"""

import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

GAIN = 10.0
MEAN = np.array([0.485, 0.456, 0.406], dtype=np.float32)
STD = np.array([0.229, 0.224, 0.225], dtype=np.float32)
OPSET = 13
MODEL_DIR = os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'test', 'models'))


def colour_model(input_name, output_count, bias_value=None, input_side=224,
                 output_type=TensorProto.FLOAT, input_type=TensorProto.FLOAT):
    # Logit k = GAIN * (std_k * x_k + mean_k): the mean colour channel k, back in [0, 1].
    weights = np.zeros((output_count, 3), dtype=np.float32)
    bias = np.zeros(output_count, dtype=np.float32)
    for channel in range(3):
        weights[channel, channel] = GAIN * STD[channel]
        bias[channel] = GAIN * MEAN[channel]
    if bias_value is not None:
        bias[:] = bias_value
    logits = 'output' if output_type == TensorProto.FLOAT else 'logits'
    pooled_from = input_name if input_type == TensorProto.FLOAT else 'float_input'
    nodes = [
        helper.make_node('GlobalAveragePool', [pooled_from], ['pooled']),
        helper.make_node('Flatten', ['pooled'], ['mean_colour'], axis=1),
        helper.make_node('Gemm', ['mean_colour', 'weights', 'bias'], [logits], transB=1),
    ]
    if logits != 'output':
        nodes.append(helper.make_node('Cast', [logits], ['output'], to=output_type))
    if pooled_from != input_name:
        nodes.insert(0, helper.make_node('Cast', [input_name], [pooled_from],
                                         to=TensorProto.FLOAT))
    graph = helper.make_graph(
        nodes, 'floor_colour',
        [helper.make_tensor_value_info(
            input_name, input_type, [1, 3, input_side, input_side])],
        [helper.make_tensor_value_info('output', output_type, [1, output_count])],
        initializer=[
            numpy_helper.from_array(weights, 'weights'),
            numpy_helper.from_array(bias, 'bias'),
        ])
    model = helper.make_model(
        graph, producer_name='make_test_models', opset_imports=[helper.make_opsetid('', OPSET)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


def main():
    os.makedirs(MODEL_DIR, exist_ok=True)
    models = {
        'floor_colour.onnx': colour_model('input', 3),
        'floor_five_outputs.onnx': colour_model('input', 5),
        'floor_renamed_input.onnx': colour_model('images', 3),
        'floor_large_input.onnx': colour_model('input', 3, input_side=256),
        'floor_half_output.onnx': colour_model('input', 3, output_type=TensorProto.FLOAT16),
        'floor_half_input.onnx': colour_model('input', 3, input_type=TensorProto.FLOAT16),
        'floor_nan_scores.onnx': colour_model('input', 3, float('nan')),
    }
    for file_name, model in models.items():
        path = os.path.join(MODEL_DIR, file_name)
        onnx.save(model, path)
        print(f'{path}: {os.path.getsize(path)} bytes')


if __name__ == '__main__':
    main()
