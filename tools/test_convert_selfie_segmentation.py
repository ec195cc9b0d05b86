#!/usr/bin/python3
"""Tests of tools/convert_selfie_segmentation.py on small networks.

Each case is a tiny TFLite-style graph with random weights. It is converted to ONNX, run by
OpenCV's dnn module (tools/dnn_check.cpp, compiled once into a temporary folder, or the
binary named by $DNN_CHECK), and compared with the numpy interpreter of
tools/check_selfie_segmentation.py. The sizes are chosen so that SAME padding is uneven and the
transposed convolution crops, where a layout or padding mistake shows; the real network
exercises only some of these. Operators or options the converter cannot write faithfully must
make it stop, not write a different network.

  /usr/bin/python3 -m unittest discover -s tools -p 'test_convert_selfie_segmentation.py'
"""

import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_selfie_segmentation as check  # noqa: E402
import convert_selfie_segmentation as conv  # noqa: E402


class Builder:
    """Builds a Graph one operator at a time; the last output is the graph's output."""

    def __init__(self, shape, rng):
        self.rng = rng
        self.tensors = [conv.Tensor("x", tuple(shape), np.float32, None)]
        self.ops = []
        self.last = 0

    def const(self, shape, dtype=np.float32, values=None):
        data = self.rng.normal(0, 0.5, shape) if values is None else np.asarray(values)
        self.tensors.append(conv.Tensor(f"c{len(self.tensors)}", tuple(shape), dtype,
                                        data.astype(dtype)))
        return len(self.tensors) - 1

    def op(self, kind, inputs, out_shape, **options):
        self.tensors.append(conv.Tensor(f"t{len(self.tensors)}", tuple(out_shape), np.float32,
                                        None))
        self.ops.append(conv.Op(kind, list(inputs), [len(self.tensors) - 1], options))
        self.last = len(self.tensors) - 1
        return self.last

    def graph(self):
        return conv.Graph(self.tensors, self.ops, [0], [self.last], "")


def conv2d(b, x, out_c, k, stride, padding, out_hw, activation=None):
    in_c = b.tensors[x].shape[3]
    return b.op("CONV_2D", [x, b.const((out_c, k, k, in_c)), b.const((out_c,))],
                (1, *out_hw, out_c), padding=padding, stride=(stride, stride),
                activation=activation, dilation=(1, 1))


def depthwise(b, x, k, stride, padding, out_hw, activation=None):
    c = b.tensors[x].shape[3]
    return b.op("DEPTHWISE_CONV_2D", [x, b.const((1, k, k, c)), b.const((c,))],
                (1, *out_hw, c), padding=padding, stride=(stride, stride), depth_multiplier=1,
                activation=activation, dilation=(1, 1))


def transpose_conv(b, x, out_c, k, stride, out_hw):
    in_c = b.tensors[x].shape[3]
    return b.op(conv.TRANSPOSE_CONV_BIAS, [x, b.const((out_c, k, k, in_c)), b.const((out_c,))],
                (1, *out_hw, out_c), padding="SAME", stride=(stride, stride))


def resize(b, x, out_hw):
    c = b.tensors[x].shape[3]
    return b.op("RESIZE_BILINEAR", [x, b.const((2,), np.int32, out_hw)], (1, *out_hw, c),
                align_corners=False, half_pixel_centers=True)


def squeeze_excite(b, x):
    """The network's gating block: global mean, two 1x1 convolutions, sigmoid, product."""
    _, h, w, c = b.tensors[x].shape
    pooled = b.op("AVERAGE_POOL_2D", [x], (1, 1, 1, c), padding="VALID", stride=(h, w),
                  filter=(h, w), activation=None)
    gate = conv2d(b, pooled, c, 1, 1, "VALID", (1, 1), activation="RELU")
    gate = b.op("LOGISTIC", [gate], (1, 1, 1, c))
    return b.op("MUL", [x, gate], (1, h, w, c), activation=None)


def residual_hard_swish(b, x):
    _, h, w, c = b.tensors[x].shape
    y = b.op("HARD_SWISH", [conv2d(b, x, c, 1, 1, "VALID", (h, w))], (1, h, w, c))
    y = b.op("ADD", [x, y], (1, h, w, c), activation="RELU")
    return b.op("RELU", [y], (1, h, w, c))


# (name, input NHWC shape, function adding the operators to a Builder)
CASES = [
    ("conv 3x3 stride 2, odd padding at the bottom right", (1, 8, 10, 3),
     lambda b, x: conv2d(b, x, 5, 3, 2, "SAME", (4, 5))),
    ("conv 3x3 stride 1 SAME with fused ReLU", (1, 6, 7, 4),
     lambda b, x: conv2d(b, x, 3, 3, 1, "SAME", (6, 7), activation="RELU")),
    ("depthwise 5x5 stride 2, padding 2+2 and 1+2", (1, 9, 8, 4),
     lambda b, x: depthwise(b, x, 5, 2, "SAME", (5, 4))),
    ("depthwise 3x3 stride 1 with fused ReLU", (1, 5, 6, 3),
     lambda b, x: depthwise(b, x, 3, 1, "SAME", (5, 6), activation="RELU")),
    ("transposed conv 2x2 stride 2 as in the network, no crop", (1, 4, 6, 4),
     lambda b, x: transpose_conv(b, x, 2, 2, 2, (8, 12))),
    ("transposed conv 3x3 stride 2, crops 0+1 rows and 1+1 columns", (1, 4, 5, 3),
     lambda b, x: transpose_conv(b, x, 2, 3, 2, (8, 9))),
    ("bilinear resize x2, half-pixel centres", (1, 4, 5, 3),
     lambda b, x: resize(b, x, (8, 10))),
    ("bilinear resize x3 by x2", (1, 3, 4, 2),
     lambda b, x: resize(b, x, (9, 8))),
    ("gating block: global mean, sigmoid, broadcast product", (1, 6, 5, 4),
     squeeze_excite),
    ("hard swish, residual add with fused ReLU, ReLU", (1, 5, 4, 3),
     residual_hard_swish),
]


class ConvertedNetworkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.exe = os.environ.get("DNN_CHECK")
        if not cls.exe:
            try:
                cls.exe = check.build_dnn_check(cls.tmp)
            except (OSError, subprocess.CalledProcessError) as e:
                raise unittest.SkipTest(f"cannot build tools/dnn_check.cpp: {e}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def run_opencv(self, model, x_nhwc, out_nhwc_shape):
        model_path = os.path.join(self.tmp, "m.onnx")
        in_path = os.path.join(self.tmp, "in.f32")
        out_path = os.path.join(self.tmp, "out.f32")
        with open(model_path, "wb") as f:
            f.write(model.SerializeToString())
        x_nchw = np.ascontiguousarray(x_nhwc.transpose(0, 3, 1, 2), np.float32)
        x_nchw.tofile(in_path)
        run = subprocess.run([self.exe, "run", model_path, in_path, out_path, "0",
                              "x".join(map(str, x_nchw.shape))], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        n, h, w, c = out_nhwc_shape
        return np.fromfile(out_path, np.float32).reshape(n, c, h, w).transpose(0, 2, 3, 1)

    def test_opencv_runs_the_conversion_as_tflite_would(self):
        for name, shape, body in CASES:
            with self.subTest(name):
                rng = np.random.default_rng(7)
                b = Builder(shape, rng)
                body(b, 0)
                graph = b.graph()
                x = rng.uniform(0, 1, shape).astype(np.float32)
                expected = check.interpret(graph, x)
                got = self.run_opencv(conv.to_onnx(graph), x, graph.tensors[b.last].shape)
                self.assertLess(np.abs(got - expected).max(), 1e-5)


# (name, input NHWC shape, operators that the converter must refuse)
REFUSED = [
    ("fused ReLU6", (1, 4, 4, 2),
     lambda b, x: conv2d(b, x, 2, 1, 1, "VALID", (4, 4), activation="RELU6")),
    ("resize by 3/2", (1, 4, 4, 2), lambda b, x: resize(b, x, (6, 6))),
    ("resize with aligned corners", (1, 4, 4, 2),
     lambda b, x: b.op("RESIZE_BILINEAR", [x, b.const((2,), np.int32, (8, 8))], (1, 8, 8, 2),
                       align_corners=True, half_pixel_centers=False)),
    ("average pool over 2x2 windows, not the whole image", (1, 4, 4, 2),
     lambda b, x: b.op("AVERAGE_POOL_2D", [x], (1, 2, 2, 2), padding="VALID", stride=(2, 2),
                       filter=(2, 2), activation=None)),
    ("an operator it does not know", (1, 4, 4, 2),
     lambda b, x: b.op("TANH", [x], (1, 4, 4, 2))),
]


class RefusalTest(unittest.TestCase):
    def test_what_cannot_be_written_faithfully_stops_the_conversion(self):
        for name, shape, body in REFUSED:
            with self.subTest(name):
                b = Builder(shape, np.random.default_rng(7))
                body(b, 0)
                with self.assertRaises(ValueError):
                    conv.to_onnx(b.graph())


class PinnedPackageTest(unittest.TestCase):
    def test_a_tarball_with_other_contents_is_refused(self):
        data = io.BytesIO()
        with tarfile.open(fileobj=data, mode="w:gz") as tar:
            payload = b"\0" * conv.TFLITE_SIZE
            info = tarfile.TarInfo(conv.TFLITE_MEMBER)
            info.size = len(payload)
            tar.addfile(info, io.BytesIO(payload))
        with tempfile.NamedTemporaryFile(suffix=".tgz") as f:
            f.write(data.getvalue())
            f.flush()
            with self.assertRaisesRegex(ValueError, "sha256"):
                conv.load_package(f.name)


if __name__ == "__main__":
    unittest.main()
