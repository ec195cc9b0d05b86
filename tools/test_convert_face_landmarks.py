#!/usr/bin/python3
"""Tests of tools/convert_face_landmarks.py and of what it added to tools/tflite_to_onnx.py.

The operator cases are tiny graphs with random weights, converted to ONNX, run by OpenCV's dnn
module (tools/dnn_check.cpp, compiled once into a temporary folder, or the binary named by
$DNN_CHECK) and compared with the numpy references: tools/numpy_reference.py for TFLite-style
graphs, the TF.js evaluator of tools/check_face_landmarks.py for TF.js graphs. Inputs hold
negative values and sizes are odd where a padding side, a padded maximum or a layout mistake
would show.

  /usr/bin/python3 -m unittest discover -s tools -p 'test_convert_face_landmarks.py'
"""

import base64
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_face_landmarks as check  # noqa: E402
import convert_face_landmarks as conv  # noqa: E402
import numpy_reference as ref  # noqa: E402
import tflite_to_onnx as t2o  # noqa: E402
from test_convert_selfie_segmentation import Builder, conv2d, depthwise  # noqa: E402


def max_pool(b, x, k, stride, padding, out_hw):
    c = b.tensors[x].shape[3]
    return b.op("MAX_POOL_2D", [x], (1, *out_hw, c), padding=padding, stride=(stride, stride),
                filter=(k, k), activation=None)


def pad(b, x, paddings):
    shape = tuple(d + sum(p) for d, p in zip(b.tensors[x].shape, paddings))
    return b.op("PAD", [x, b.const((4, 2), np.int32, paddings)], shape)


def prelu(b, x):
    c = b.tensors[x].shape[3]
    return b.op("PRELU", [x, b.const((1, 1, c))], b.tensors[x].shape)


def residual_block(b, x):
    """The mesh and iris networks' downsampling block: depthwise and 1x1 convolutions beside a
    max pool whose channels are padded, added, then PReLU."""
    _, h, w, c = b.tensors[x].shape
    y = depthwise(b, x, 3, 2, "SAME", (h // 2, w // 2))
    y = conv2d(b, y, 2 * c, 1, 1, "VALID", (h // 2, w // 2))
    short = pad(b, max_pool(b, x, 2, 2, "VALID", (h // 2, w // 2)),
                [(0, 0), (0, 0), (0, 0), (0, c)])
    return prelu(b, b.op("ADD", [short, y], (1, h // 2, w // 2, 2 * c), activation=None))


def detector_heads(b, x):
    """BlazeFace's outputs: per-cell convolutions regrouped to anchors, two feature maps
    concatenated; two graph outputs."""
    _, h, w, c = b.tensors[x].shape
    small = max_pool(b, x, 2, 2, "SAME", (-(-h // 2), -(-w // 2)))
    outs = []
    for per_anchor in (3, 1):
        parts = []
        for src, k in ((x, 2), (small, 3)):
            _, sh, sw, _ = b.tensors[src].shape
            y = conv2d(b, src, k * per_anchor, 1, 1, "SAME", (sh, sw))
            parts.append(b.op("RESHAPE", [y], (1, sh * sw * k, per_anchor),
                              new_shape=(1, -1, per_anchor)))
        outs.append(b.op("CONCATENATION", parts, (1, sum(b.tensors[p].shape[1] for p in parts),
                                                  per_anchor), axis=1, activation=None))
    return outs


# (name, input NHWC shape, function adding the operators; it returns the output(s))
CASES = [
    ("max pool 2x2 VALID", (1, 6, 8, 3), lambda b, x: max_pool(b, x, 2, 2, "VALID", (3, 4))),
    ("max pool 3x3 SAME, uneven padding that must not win the maximum", (1, 7, 6, 2),
     lambda b, x: max_pool(b, x, 3, 2, "SAME", (4, 3))),
    ("channel padding", (1, 4, 5, 3), lambda b, x: pad(b, x, [(0, 0), (0, 0), (0, 0), (0, 5)])),
    ("spatial padding, uneven", (1, 4, 5, 2),
     lambda b, x: pad(b, x, [(0, 0), (1, 2), (0, 3), (0, 0)])),
    ("PReLU, one slope per channel", (1, 3, 4, 5), prelu),
    ("depthwise convolution without a bias", (1, 5, 6, 3),
     lambda b, x: b.op("DEPTHWISE_CONV_2D", [x, b.const((1, 3, 3, 3))], (1, 5, 6, 3),
                       padding="SAME", stride=(1, 1), depth_multiplier=1, activation=None,
                       dilation=(1, 1))),
    ("downsampling block with padded shortcut", (1, 6, 8, 4), residual_block),
    ("reshape 4-D to 4-D keeps TFLite's element order", (1, 2, 3, 4),
     lambda b, x: b.op("RESHAPE", [conv2d(b, x, 4, 1, 1, "VALID", (2, 3))], (1, 3, 4, 2))),
    ("concatenation of channels, axis -1", (1, 3, 4, 2),
     lambda b, x: b.op("CONCATENATION", [x, conv2d(b, x, 3, 1, 1, "VALID", (3, 4))],
                       (1, 3, 4, 5), axis=-1, activation="RELU")),
    ("detector heads: reshape to anchors, concatenate, two outputs", (1, 5, 6, 4),
     detector_heads),
]


class OpenCvRunner(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.exe = os.environ.get("DNN_CHECK")
        if not cls.exe:
            try:
                cls.exe = ref.build_dnn_check(cls.tmp)
            except (OSError, subprocess.CalledProcessError) as e:
                raise unittest.SkipTest(f"cannot build tools/dnn_check.cpp: {e}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def run_opencv(self, model, x_nhwc):
        """The outputs OpenCV gives, which must have the shapes the model declares."""
        path = os.path.join(self.tmp, "m.onnx")
        with open(path, "wb") as f:
            f.write(model.SerializeToString())
        outputs, _ = ref.run_dnn(self.exe, path, x_nhwc.transpose(0, 3, 1, 2), self.tmp)
        for declared in model.graph.output:
            dims = tuple(d.dim_value for d in declared.type.tensor_type.shape.dim)
            self.assertEqual(outputs[declared.name].shape, dims, declared.name)
        return outputs


class TfliteOperatorTest(OpenCvRunner):
    def test_opencv_runs_the_conversion_as_tflite_would(self):
        for name, shape, body in CASES:
            with self.subTest(name):
                rng = np.random.default_rng(11)
                b = Builder(shape, rng)
                outs = body(b, 0)
                outs = outs if isinstance(outs, list) else [outs]
                graph = t2o.Graph(b.tensors, b.ops, [0], outs, "")
                x = rng.normal(0, 1, shape).astype(np.float32)
                expected = ref.run_ops(graph, x)
                names = [f"out{i}" for i in range(len(outs))]
                got = self.run_opencv(t2o.to_onnx(graph, ["x"], names, "t", "test", ""), x)
                for n, e in zip(names, expected):
                    g = got[n].transpose(0, 2, 3, 1) if e.ndim == 4 else got[n]
                    self.assertEqual(g.shape, e.shape)
                    self.assertLess(np.abs(g - e).max(), 1e-5, n)


# (name, input NHWC shape, operators that the writer must refuse)
REFUSED = [
    ("negative padding", (1, 4, 4, 2),
     lambda b, x: b.op("PAD", [x, b.const((4, 2), np.int32, [(0, 0), (-1, 0), (0, 0), (0, 0)])],
                       (1, 3, 4, 2))),
    ("padding that is computed, not constant", (1, 4, 4, 2),
     lambda b, x: b.op("PAD", [x, b.op("RELU", [x], (4, 2))], (1, 4, 4, 2))),
    ("PReLU slopes per pixel", (1, 2, 2, 3),
     lambda b, x: b.op("PRELU", [x, b.const((2, 2, 3))], (1, 2, 2, 3))),
    ("reshape whose new shape does not give the output", (1, 2, 2, 4),
     lambda b, x: b.op("RESHAPE", [x], (1, 4, 4), new_shape=(1, 8, -1))),
    ("concatenation of different ranks", (1, 2, 2, 4),
     lambda b, x: b.op("CONCATENATION", [x, b.op("RESHAPE", [x], (1, 4, 4))], (1, 8, 4),
                       axis=1, activation=None)),
]


class RefusalTest(unittest.TestCase):
    def test_what_cannot_be_written_faithfully_stops_the_conversion(self):
        for name, shape, body in REFUSED:
            with self.subTest(name):
                b = Builder(shape, np.random.default_rng(7))
                body(b, 0)
                with self.assertRaises(ValueError):
                    t2o.to_onnx(b.graph(), ["x"], ["y"], "t", "test", "")


# ---------------------------------------------------------------------------------------------
# TF.js graphs


def _s(text):
    return {"s": base64.b64encode(text.encode()).decode()}


def _ints(values):
    return {"list": {"i": [str(v) for v in values]}}


class TfjsBuilder:
    """A TF.js graph model (model.json as a dict, weights as bytes) built node by node."""

    def __init__(self, shape, rng):
        self.rng = rng
        self.nodes = [{"name": "input_1", "op": "Placeholder", "attr": {
            "shape": {"shape": {"dim": [{"size": str(d)} for d in (-1, *shape[1:])]}}}}]
        self.manifest, self.data = [], []

    def const(self, shape, dtype="float32", values=None):
        name = f"c{len(self.manifest)}"
        array = self.rng.normal(0, 0.5, shape) if values is None else np.asarray(values)
        self.data.append(array.astype("<f4" if dtype == "float32" else "<i4").tobytes())
        self.manifest.append({"name": name, "shape": list(shape), "dtype": dtype})
        self.nodes.append({"name": name, "op": "Const", "attr": {}})
        return name

    def node(self, op, inputs, **attr):
        name = f"n{len(self.nodes)}"
        self.nodes.append({"name": name, "op": op, "input": list(inputs), "attr": attr})
        return name

    def conv(self, x, in_c, out_c, k, stride, padding, fused=("BiasAdd",)):
        args = [self.const((k, k, in_c, out_c)), self.const((out_c,))]
        if "Prelu" in fused:
            args.append(self.const((1, 1, out_c)))
        return self.node("_FusedConv2D", [x, *args], strides=_ints([1, stride, stride, 1]),
                         padding=_s(padding), data_format=_s("NHWC"),
                         dilations=_ints([1, 1, 1, 1]), num_args={"i": str(len(args) - 1)},
                         fused_ops={"list": {"s": [_s(f)["s"] for f in fused]}})

    def depthwise(self, x, c, stride):
        return self.node("DepthwiseConv2dNative", [x, self.const((3, 3, c, 1))],
                         strides=_ints([1, stride, stride, 1]), padding=_s("SAME"),
                         data_format=_s("NHWC"), dilations=_ints([1, 1, 1, 1]))

    def files(self, output):
        out = self.node("Identity", [output])
        model = {"format": "graph-model", "modelTopology": {"node": self.nodes},
                 "weightsManifest": [{"paths": ["w.bin"], "weights": self.manifest}],
                 "userDefinedMetadata": {"signature": {"outputs": {f"{out}:0": {}}}}}
        return json.dumps(model).encode(), b"".join(self.data)


def iris_like(b):
    """The iris network's pieces: fused convolution with PReLU (SAME, stride 2, odd size),
    depthwise and 1x1 convolutions added to the input, a max-pooled shortcut with padded
    channels, two heads concatenated."""
    x = b.conv("input_1", 3, 4, 3, 2, "SAME", ("BiasAdd", "Prelu"))  # 9x7 -> 5x4
    y = b.conv(b.depthwise(x, 4, 1), 4, 4, 1, 1, "VALID")
    x = b.node("Prelu", [b.node("AddV2", [x, y]), b.const((1, 1, 4))])
    short = b.node("Pad", [b.node("MaxPool", [x], ksize=_ints([1, 2, 2, 1]),
                                  strides=_ints([1, 2, 2, 1]), padding=_s("VALID"),
                                  data_format=_s("NHWC")),
                           b.const((4, 2), "int32", [[0, 0], [0, 0], [0, 0], [0, 2]])])
    x = b.node("AddV2", [short, b.conv(x, 4, 6, 2, 2, "VALID", ("BiasAdd", "Relu"))])
    heads = [b.conv(x, 6, n, 2, 1, "VALID") for n in (5, 3)]
    return b.node("ConcatV2", [*heads, b.const((), "int32", 3)], N={"i": "2"})


class TfjsTest(OpenCvRunner):
    def test_opencv_runs_the_conversion_as_tensorflow_would(self):
        for name, shape, body in [("iris-like network", (1, 9, 7, 3), iris_like),
                                  ("plain convolution, VALID", (1, 6, 6, 2),
                                   lambda b: b.conv("input_1", 2, 3, 3, 1, "VALID"))]:
            with self.subTest(name):
                rng = np.random.default_rng(5)
                b = TfjsBuilder(shape, rng)
                model_json, weights = b.files(body(b))
                model = json.loads(model_json)
                graph = conv.read_tfjs(model, conv.tfjs_weights(model, {"w.bin": weights}))
                x = rng.normal(0, 1, shape).astype(np.float32)
                (expected,) = check.TfjsReference(model_json, weights).run(x)
                got = self.run_opencv(t2o.to_onnx(graph, ["x"], ["y"], "t", "test", ""), x)
                self.assertLess(np.abs(got["y"].transpose(0, 2, 3, 1) - expected).max(), 1e-5)

    def test_what_it_does_not_know_stops_it(self):
        def unknown_op(b):
            return b.node("Relu6", ["input_1"])

        def other_fusion(b):
            return b.conv("input_1", 2, 2, 1, 1, "VALID", ("BiasAdd", "Relu6"))

        def nchw(b):
            node = b.conv("input_1", 2, 2, 1, 1, "VALID")
            b.nodes[-1]["attr"]["data_format"] = _s("NCHW")
            return node

        def explicit_padding(b):
            node = b.conv("input_1", 2, 2, 1, 1, "VALID")
            b.nodes[-1]["attr"]["padding"] = _s("EXPLICIT")
            return node

        for name, body in [("unknown operator", unknown_op), ("BiasAdd + Relu6", other_fusion),
                           ("NCHW", nchw), ("explicit padding", explicit_padding)]:
            with self.subTest(name):
                b = TfjsBuilder((1, 4, 4, 2), np.random.default_rng(1))
                model_json, weights = b.files(body(b))
                model = json.loads(model_json)
                with self.assertRaises(ValueError):
                    conv.read_tfjs(model, conv.tfjs_weights(model, {"w.bin": weights}))

    def test_weights_that_do_not_fill_the_file_are_refused(self):
        b = TfjsBuilder((1, 4, 4, 2), np.random.default_rng(1))
        model = json.loads(b.files(b.conv("input_1", 2, 2, 1, 1, "VALID"))[0])
        weights = b.files("input_1")[1]
        for name, data in [("short", weights[:-4]), ("long", weights + b"\0\0\0\0")]:
            with self.subTest(name), self.assertRaises(ValueError):
                conv.tfjs_weights(model, {"w.bin": data})


# ---------------------------------------------------------------------------------------------
# Protobuf, packed assets, canonical face, NOTICE, pinned packages


def varint(n):
    out = b""
    while True:
        out += bytes([n & 0x7F | (0x80 if n > 0x7F else 0)])
        n >>= 7
        if not n:
            return out


def field(number, wire, payload):
    if wire == 2:
        payload = varint(len(payload)) + payload
    return varint(number << 3 | wire) + payload


def geometry(vertices, indices, packed):
    """A GeometryPipelineMetadata with the mesh's buffers packed or one field per value."""
    floats = np.asarray(vertices, "<f4").ravel()
    if packed:
        mesh = field(3, 2, floats.tobytes()) + field(4, 2, b"".join(varint(i) for i in indices))
    else:
        mesh = b"".join(field(3, 5, struct.pack("<f", v)) for v in floats) + \
            b"".join(field(4, 0, varint(i)) for i in indices)
    return field(1, 2, field(1, 0, varint(0)) + mesh) + field(3, 0, varint(1))


class ProtobufTest(unittest.TestCase):
    def test_mesh_reads_the_same_packed_or_not(self):
        rng = np.random.default_rng(2)
        vertices = rng.normal(0, 5, (conv.CANONICAL_VERTICES, 5)).astype(np.float32)
        for packed in (False, True):
            with self.subTest(packed=packed):
                positions, triangles = conv.canonical_mesh(geometry(vertices, [0, 1, 467],
                                                                    packed))
                np.testing.assert_array_equal(positions, vertices[:, :3])
                self.assertEqual(triangles.tolist(), [[0, 1, 467]])

    def test_a_mesh_of_another_shape_is_refused(self):
        five = np.zeros((conv.CANONICAL_VERTICES, 5))
        for name, data in [("467 vertices", geometry(five[:-1], [0, 1, 2], True)),
                           ("index past the vertices", geometry(five, [0, 1, 468], True)),
                           ("not triangles", geometry(five, [0, 1], True)),
                           ("cut short", geometry(five, [0, 1, 2], True)[:-40])]:
            with self.subTest(name), self.assertRaises(ValueError):
                conv.canonical_mesh(data)

    def test_text_reads_back_as_the_same_float32(self):
        values = np.array([[0, -3.406404, 5.979507], [7.743095, -9.403378, 1e-8],
                           [123456.79, 0.1, -2.5e-5]], np.float32)
        rows = [line.split() for line in conv.canonical_face_text(values).splitlines()]
        np.testing.assert_array_equal(np.array(rows, np.float64).astype(np.float32), values)
        self.assertEqual(rows[0], ["0", "-3.406404", "5.979507"])


class PackedAssetsTest(unittest.TestCase):
    LOADER = ('foo(); loadPackage({"files": [{"filename": "/a.tflite", "start": 0, "end": 4}, '
              '{"filename": "/b.binarypb", "start": 4, "end": 10}], '
              '"remote_package_size": 10});\nbar();')

    def test_the_loader_gives_each_file_its_bytes(self):
        data = b"AAAABBBBBB"
        for path, size, expected in [("/a.tflite", 4, b"AAAA"), ("/b.binarypb", 6, b"BBBBBB")]:
            with self.subTest(path):
                member = t2o.Member(path, size, t2o.sha256(expected))
                self.assertEqual(conv.unpack_asset(data, self.LOADER, member), expected)

    def test_other_bytes_or_names_are_refused(self):
        for name, data, member in [
                ("changed", b"AAAXBBBBBB", t2o.Member("/a.tflite", 4, t2o.sha256(b"AAAA"))),
                ("not packed", b"AAAABBBBBB", t2o.Member("/c.tflite", 4, t2o.sha256(b"AAAA"))),
                ("truncated data", b"AAAABB", t2o.Member("/b.binarypb", 6,
                                                          t2o.sha256(b"BBBBBB")))]:
            with self.subTest(name), self.assertRaises(ValueError):
                conv.unpack_asset(data, self.LOADER, member)


class NoticeTest(unittest.TestCase):
    A = "data/models/a.onnx\n\nabout a\n"
    B = "data/models/b.onnx\n\nabout b\n  data/models/ is named inside\n"
    B2 = "data/models/b.onnx\n\nnew text for b\n"
    C = "data/models/c.txt\n\nabout c\n"

    def test_each_entry_replaces_its_own_section(self):
        cases = [
            ("first entry into nothing", "", [self.A], self.A),
            ("one section written again", self.A, [self.A], self.A),
            ("added at the end", self.A, [self.B], self.A + "\n" + self.B),
            ("replaced in the middle", self.A + "\n" + self.B + "\n" + self.C, [self.B2],
             self.A + "\n" + self.B2 + "\n" + self.C),
            ("several at once", self.A, [self.C, self.B], self.A + "\n" + self.C + "\n" + self.B),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "NOTICE")
            for name, old, entries, expected in cases:
                with self.subTest(name):
                    if old:
                        with open(path, "w") as f:
                            f.write(old)
                    elif os.path.exists(path):
                        os.remove(path)
                    t2o.update_notice(path, entries)
                    with open(path) as f:
                        self.assertEqual(f.read(), expected)


class PinnedPackageTest(unittest.TestCase):
    def test_tarballs_with_other_contents_are_refused(self):
        member = conv.DETECTOR_TFLITE
        data = io.BytesIO()
        with tarfile.open(fileobj=data, mode="w:gz") as tar:
            info = tarfile.TarInfo(member.path)
            info.size = member.size
            tar.addfile(info, io.BytesIO(b"\0" * member.size))
        for name, package in [
                ("a tarball of other bytes", conv.FACE_DETECTION),
                ("the tarball as pinned, its member changed",
                 t2o.Package("p", "1", "p.tgz", t2o.sha256(data.getvalue())))]:
            with self.subTest(name), tempfile.NamedTemporaryFile(suffix=".tgz") as f:
                f.write(data.getvalue())
                f.flush()
                with self.assertRaisesRegex(ValueError, "sha256"):
                    t2o.read_package(package, f.name, [member])

    def test_tarballs_are_told_apart_by_name(self):
        chosen = conv.tarballs_from_args(["/x/" + conv.HUMAN.tarball])
        self.assertEqual(chosen[conv.HUMAN.name], "/x/" + conv.HUMAN.tarball)
        self.assertIsNone(chosen[conv.FACE_MESH.name])
        with self.assertRaises(ValueError):
            conv.tarballs_from_args(["/x/other-1.0.tgz"])


class AnchorTest(unittest.TestCase):
    def test_anchors_are_the_two_feature_maps_cells(self):
        anchors = check.blazeface_anchors()
        self.assertEqual(anchors.shape, (896, 2))
        # 16 x 16 cells with 2 anchors each, then 8 x 8 cells with 6
        for index, centre in [(0, (1 / 32, 1 / 32)), (1, (1 / 32, 1 / 32)), (2, (3 / 32, 1 / 32)),
                              (511, (31 / 32, 31 / 32)), (512, (1 / 16, 1 / 16)),
                              (517, (1 / 16, 1 / 16)), (518, (3 / 16, 1 / 16)),
                              (895, (15 / 16, 15 / 16))]:
            with self.subTest(index=index):
                np.testing.assert_allclose(anchors[index], centre)


if __name__ == "__main__":
    unittest.main()
