#!/usr/bin/python3
"""Converts three MediaPipe face networks from npm packages to ONNX files that OpenCV 4.6's dnn
module reads, and takes MediaPipe's canonical 3-D face out as text.

A developer runs this once; the product only reads the files it writes into data/models/:

  face_detection.onnx      BlazeFace, short range (@mediapipe/face_detection, TFLite)
  face_landmark.onnx       the 468-point face mesh (@mediapipe/face_mesh, TFLite)
  iris_landmark.onnx       MediaPipe Iris (@vladmandic/human, a TF.js graph model)
  canonical_face.txt       the canonical face's 468 vertices (@mediapipe/face_mesh)
  LICENSE.face_detection, LICENSE.face_landmark, LICENSE.iris_landmark
  NOTICE                   its sections for these files (the other sections are kept)

Usage (from anywhere; paths default to the repository this script is in):

  /usr/bin/python3 tools/convert_face_landmarks.py [--tgz FILE ...] [--out-dir DIR] [--list-ops]

Each --tgz names an already downloaded tarball of one of the three packages (told apart by
file name); `npm pack` fetches the others into a temporary folder. The tarballs and the files
taken from them must have the SHA-256 sums below, so the output is the same on every machine.

Needs these Debian packages (it installs nothing itself):
  python3-onnx python3-flatbuffers python3-numpy npm
Run it with Debian's /usr/bin/python3, where those modules are installed.

The ONNX files (all NCHW float32, RGB; stretched input, the caller crops and scales):
  face_detection.onnx   input "input" 1x3x128x128, -1..1
                        output "regressors" 1x896x16: per anchor x, y, w, h of the box, then
                          6 keypoints x, y, all in input pixels relative to the anchor
                        output "classificators" 1x896x1: face score, a logit
  face_landmark.onnx    input "input" 1x3x192x192, 0..1
                        output "landmarks" 1x1404x1x1: 468 points x, y, z in input pixels
                        output "face_flag" 1x1x1x1: face presence, a logit
  iris_landmark.onnx    input "input" 1x3x64x64, 0..1, an eye crop
                        output "landmarks" 1x228x1x1: 71 eye contour and brow points, then 5
                          iris points, each x, y, z in input pixels
tools/check_face_landmarks.py compares them with numpy runs of the original graphs.

The TFLite files are read and written by tools/tflite_to_onnx.py. The TF.js graph is turned
into the same NHWC Graph here (its fused convolutions split into the TFLite-like operators)
and written by the same writer. The geometry file is a protobuf, read by the small reader
below.
"""

import argparse
import base64
import json
import os
import re
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tflite_to_onnx as t2o  # noqa: E402
from tflite_to_onnx import Graph, Member, Op, Package, Tensor, sha256  # noqa: E402

FACE_DETECTION = Package("@mediapipe/face_detection", "0.4.1657300184",
                         "mediapipe-face_detection-0.4.1657300184.tgz",
                         "a118cde74923dc4435257fbfbb613464a0f58d115dff6314d4ff96c8aebf6419")
FACE_MESH = Package("@mediapipe/face_mesh", "0.4.1657299874",
                    "mediapipe-face_mesh-0.4.1657299874.tgz",
                    "c08a7e0742a326285da666cf81d77c8b6f3a181a2ee948cadaf166008e0d3bc7")
HUMAN = Package("@vladmandic/human", "3.3.6", "vladmandic-human-3.3.6.tgz",
                "425e9c51dbbca0c8934362b170cb0d54c2529c11c654b3c03092b16e9d6ad3f7")
PACKAGES = (FACE_DETECTION, FACE_MESH, HUMAN)

DETECTOR_TFLITE = Member("package/face_detection_short_range.tflite", 229032,
                         "3bc182eb9f33925d9e58b5c8d59308a760f4adea8f282370e428c51212c26633")
PACKED_ASSETS = Member("package/face_mesh_solution_packed_assets.data", 3986256,
                       "dbe5905c582c0462cdaea17e7e6ecea92edaa8cccc515c5e2e7291f2cbb5fb99")
PACKED_LOADER = Member("package/face_mesh_solution_packed_assets_loader.js", 8813,
                       "95147c15fdf12ba8b9ffc3c3964dbdfa1ffa4251182749babca19e75962bf128")
# Files inside the packed assets, by the name the loader script gives them.
MESH_TFLITE = Member("/third_party/mediapipe/modules/face_landmark/face_landmark.tflite",
                     1241896, "c603fa6149219a3e9487dc9abd7a0c24474c77263273d24868378cdf40aa26d1")
GEOMETRY = Member("/third_party/mediapipe/modules/face_geometry/data/"
                  "geometry_pipeline_metadata_landmarks.binarypb",
                  19376, "bdbcda96dfcb7da883da124aaa2c55dee49770d934f0fcc71747f8c21bdc75b4")
IRIS_JSON = Member("package/models/iris.json", 122025,
                   "49038ac9dcc09aa05474d91d98e9db5b47af4830929bcf102ed5a56bfbabb465")
IRIS_BIN = Member("package/models/iris.bin", 2599092,
                  "d7f296d184274213d4642681ae186112cbbec77fd2ab066257d3c56a1940bc71")

DETECTOR_ONNX = "face_detection.onnx"
MESH_ONNX = "face_landmark.onnx"
IRIS_ONNX = "iris_landmark.onnx"
CANONICAL_FACE = "canonical_face.txt"
CANONICAL_VERTICES = 468

PRODUCER = "convert_face_landmarks.py"

# ---------------------------------------------------------------------------------------------
# The packed assets of @mediapipe/face_mesh


def packed_asset_ranges(loader_js):
    """{file name: (start, end)} from the loadPackage({...}) call of the loader script."""
    match = re.search(r"loadPackage\((\{.*?\})\);", loader_js, re.S)
    if not match:
        raise ValueError("the loader script has no loadPackage({...}) call")
    metadata = json.loads(match.group(1))
    return {f["filename"]: (int(f["start"]), int(f["end"])) for f in metadata["files"]}


def unpack_asset(data, loader_js, member):
    """The member of the packed assets, checked against its pinned size and SHA-256."""
    ranges = packed_asset_ranges(loader_js)
    if member.path not in ranges:
        raise ValueError(f"the packed assets hold no {member.path}")
    start, end = ranges[member.path]
    if not 0 <= start <= end <= len(data):
        raise ValueError(f"{member.path}: bytes {start}..{end} are not in the {len(data)} bytes")
    t2o.check_bytes(member.path, data[start:end], member.size, member.sha256)
    return data[start:end]


# ---------------------------------------------------------------------------------------------
# Protobuf, read by wire type (no generated code)


def read_varint(data, pos):
    value = shift = 0
    while True:
        if pos >= len(data):
            raise ValueError("protobuf: varint runs past the end")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos
        if shift > 63:
            raise ValueError("protobuf: varint longer than 10 bytes")


def proto_fields(data):
    """[(field number, wire type, value)]: an int for varints, bytes for the others."""
    fields, pos = [], 0
    while pos < len(data):
        key, pos = read_varint(data, pos)
        number, wire = key >> 3, key & 7
        if number == 0:
            raise ValueError("protobuf: field number 0")
        if wire == 0:
            value, pos = read_varint(data, pos)
        elif wire in (1, 5):
            size = 8 if wire == 1 else 4
            value, pos = bytes(data[pos:pos + size]), pos + size
        elif wire == 2:
            size, pos = read_varint(data, pos)
            value, pos = bytes(data[pos:pos + size]), pos + size
        else:
            raise ValueError(f"protobuf: wire type {wire} is not handled")
        if pos > len(data):
            raise ValueError("protobuf: a field runs past the end")
        fields.append((number, wire, value))
    return fields


def repeated_floats(fields, number):
    """A repeated float field, packed (wire type 2) or not (wire type 5), or both."""
    values = []
    for n, wire, value in fields:
        if n != number:
            continue
        if wire == 5:
            values.append(np.frombuffer(value, "<f4")[0])
        elif wire == 2 and len(value) % 4 == 0:
            values.extend(np.frombuffer(value, "<f4"))
        else:
            raise ValueError(f"field {number}: not a float")
    return np.array(values, np.float32)


def repeated_varints(fields, number):
    values = []
    for n, wire, value in fields:
        if n != number:
            continue
        if wire == 0:
            values.append(value)
        elif wire == 2:
            pos = 0
            while pos < len(value):
                v, pos = read_varint(value, pos)
                values.append(v)
        else:
            raise ValueError(f"field {number}: not a varint")
    return values


def canonical_mesh(geometry):
    """The canonical face of a GeometryPipelineMetadata: (468 x 3 positions, triangles).

    GeometryPipelineMetadata: canonical_mesh = 1 (Mesh3d), procrustes_landmark_basis = 2,
    input_source = 3. Mesh3d: vertex_type = 1 (0: VERTEX_PT, x y z u v per vertex),
    primitive_type = 2 (0: TRIANGLE), vertex_buffer = 3, index_buffer = 4.
    """
    meshes = [v for n, w, v in proto_fields(geometry) if n == 1 and w == 2]
    if len(meshes) != 1:
        raise ValueError(f"expected one canonical mesh, found {len(meshes)}")
    mesh = proto_fields(meshes[0])
    kinds = {n: v for n, w, v in mesh if n in (1, 2) and w == 0}
    if kinds.get(1, 0) != 0 or kinds.get(2, 0) != 0:
        raise ValueError(f"expected VERTEX_PT triangles, found vertex type {kinds.get(1, 0)}, "
                         f"primitive type {kinds.get(2, 0)}")
    vertices = repeated_floats(mesh, 3)
    if vertices.size != CANONICAL_VERTICES * 5:
        raise ValueError(f"expected {CANONICAL_VERTICES} x 5 vertex values, found "
                         f"{vertices.size}")
    triangles = np.array(repeated_varints(mesh, 4), np.int64)
    if triangles.size % 3 or (triangles >= CANONICAL_VERTICES).any():
        raise ValueError("the index buffer is not triangles over the vertices")
    return vertices.reshape(-1, 5)[:, :3], triangles.reshape(-1, 3)


def canonical_face_text(positions):
    """One line "x y z" per vertex, each the shortest decimal that reads back as the same
    float32."""
    return "".join(" ".join(np.format_float_positional(np.float32(v), unique=True, trim="-")
                            for v in row) + "\n" for row in positions)


# ---------------------------------------------------------------------------------------------
# TF.js graph model -> Graph


def tfjs_weights(model, weight_files):
    """{name: array} from the weights manifest; `weight_files` maps each path to its bytes."""
    dtypes = {"float32": "<f4", "int32": "<i4"}
    weights = {}
    for group in model["weightsManifest"]:
        data = b"".join(weight_files[p] for p in group["paths"])
        offset = 0
        for w in group["weights"]:
            if w["dtype"] not in dtypes or "quantization" in w:
                raise ValueError(f"weight {w['name']}: {w['dtype']}"
                                 f"{' quantized' if 'quantization' in w else ''} is not handled")
            count = int(np.prod(w["shape"], dtype=np.int64))
            size = 4 * count
            if offset + size > len(data):
                raise ValueError(f"weight {w['name']} runs past the end of {group['paths']}")
            weights[w["name"]] = np.frombuffer(data, dtypes[w["dtype"]], count,
                                               offset).reshape(w["shape"])
            offset += size
        if offset != len(data):
            raise ValueError(f"{group['paths']}: {len(data) - offset} bytes left over")
    return weights


def _attr(node, key, default=None):
    """A node attribute as a Python value: string, int, float, bool, or list of them."""
    a = node.get("attr", {}).get(key)
    if a is None:
        return default
    if "s" in a:
        return base64.b64decode(a["s"]).decode("utf-8")
    if "i" in a:
        return int(a["i"])
    if "f" in a:
        return float(a["f"])
    if "b" in a:
        return bool(a["b"])
    if "list" in a:
        lst = a["list"]
        if "i" in lst:
            return [int(v) for v in lst["i"]]
        if "s" in lst:
            return [base64.b64decode(v).decode("utf-8") for v in lst["s"]]
        if "f" in lst:
            return [float(v) for v in lst["f"]]
        return []
    if "type" in a:
        return a["type"]
    return default


def _conv_geometry(node, size, kernel):
    """(padding, stride, dilation, output size) of a NHWC convolution or pool node."""
    if _attr(node, "data_format", "NHWC") != "NHWC":
        raise ValueError(f"{node['name']}: only NHWC is handled")
    padding = _attr(node, "padding")
    if padding not in ("SAME", "VALID") or _attr(node, "explicit_paddings", []):
        raise ValueError(f"{node['name']}: padding {padding} is not handled")
    strides = _attr(node, "strides", [1, 1, 1, 1])
    dilations = _attr(node, "dilations", [1, 1, 1, 1])
    if strides[0] != 1 or strides[3] != 1 or dilations[0] != 1 or dilations[3] != 1:
        raise ValueError(f"{node['name']}: strides {strides}, dilations {dilations}")
    stride, dilation = tuple(strides[1:3]), tuple(dilations[1:3])
    out = []
    for a in (0, 1):
        reach = (kernel[a] - 1) * dilation[a] + 1
        if padding == "SAME":
            out.append(-(-size[a] // stride[a]))
        else:
            out.append((size[a] - reach) // stride[a] + 1)
    return padding, stride, dilation, tuple(out)


def read_tfjs(model, weights):
    """Turns a TF.js graph model (the parsed model.json, its weights) into an NHWC Graph of
    TFLite-like operators for tflite_to_onnx.OnnxWriter."""
    if model.get("format") != "graph-model":
        raise ValueError(f"not a TF.js graph model: format {model.get('format')!r}")
    nodes = {n["name"]: n for n in model["modelTopology"]["node"]}
    tensors, ops, index = [], [], {}
    graph_inputs = []

    def short(name):
        return name.replace("StatefulPartitionedCall/model/", "")

    def add(name, shape, data=None, dtype=np.float32):
        tensors.append(Tensor(short(name), tuple(int(d) for d in shape), dtype, data))
        return len(tensors) - 1

    def ref(name):
        if name.startswith("^") or re.search(r":[1-9]\d*$", name):
            raise ValueError(f"input {name}: control inputs and second outputs are not handled")
        return name[:-2] if name.endswith(":0") else name

    def const(name):
        t = tensors[index[ref(name)]]
        if t.data is None:
            raise ValueError(f"{name} must be a constant")
        return t.data

    def shape_of(name):
        return tensors[index[ref(name)]].shape

    # Nodes in an order where every input comes first.
    order, done = [], set()

    def visit(name, stack=()):
        if name in done:
            return
        if name in stack:
            raise ValueError(f"the graph has a cycle through {name}")
        if name not in nodes:
            raise ValueError(f"no node {name}")
        for i in nodes[name].get("input", []):
            visit(ref(i), stack + (name,))
        done.add(name)
        order.append(nodes[name])

    for name in nodes:
        visit(name)

    for node in order:
        name, kind = node["name"], node["op"]
        inputs = [ref(i) for i in node.get("input", [])]
        if kind == "Const":
            if name not in weights:
                raise ValueError(f"constant {name} is not in the weights manifest")
            data = weights[name]
            index[name] = add(name, data.shape, data,
                              np.int32 if data.dtype.kind == "i" else np.float32)
        elif kind == "Placeholder":
            dims = [int(d["size"]) for d in node["attr"]["shape"]["shape"]["dim"]]
            index[name] = add(name, [1 if d == -1 else d for d in dims])
            graph_inputs.append(index[name])
        elif kind == "Identity":
            index[name] = index[inputs[0]]
        elif kind == "_FusedConv2D":
            fused = _attr(node, "fused_ops", [])
            extra = {("BiasAdd",): 1, ("BiasAdd", "Relu"): 1, ("BiasAdd", "Prelu"): 2}
            if tuple(fused) not in extra or _attr(node, "num_args") != extra[tuple(fused)] \
                    or len(inputs) != 2 + extra[tuple(fused)]:
                raise ValueError(f"{name}: fused operators {fused} are not handled")
            x = shape_of(inputs[0])
            w = const(inputs[1])  # KH x KW x I x O
            if w.shape[2] != x[3]:
                raise ValueError(f"{name}: {w.shape} weights for {x[3]} channels")
            padding, stride, dilation, out = _conv_geometry(node, x[1:3], w.shape[:2])
            kernel = add(inputs[1] + "/ohwi", (w.shape[3], *w.shape[:3]),
                         np.ascontiguousarray(w.transpose(3, 0, 1, 2)))
            conv_out = add(name if len(fused) < 2 or fused[1] != "Prelu" else name + "/conv",
                           (1, *out, w.shape[3]))
            ops.append(Op("CONV_2D", [index[inputs[0]], kernel, index[inputs[2]]], [conv_out],
                          {"padding": padding, "stride": stride, "dilation": dilation,
                           "activation": "RELU" if fused[1:] == ["Relu"] else None}))
            index[name] = conv_out
            if fused[1:] == ["Prelu"]:
                index[name] = add(name, (1, *out, w.shape[3]))
                ops.append(Op("PRELU", [conv_out, index[inputs[3]]], [index[name]], {}))
        elif kind == "DepthwiseConv2dNative":
            x = shape_of(inputs[0])
            w = const(inputs[1])  # KH x KW x C x M
            if w.shape[2] != x[3]:
                raise ValueError(f"{name}: {w.shape} weights for {x[3]} channels")
            padding, stride, dilation, out = _conv_geometry(node, x[1:3], w.shape[:2])
            channels = w.shape[2] * w.shape[3]
            # KH x KW x C x M -> 1 x KH x KW x (C * M), channel c * M + m as in TF
            kernel = add(inputs[1] + "/1hwc", (1, *w.shape[:2], channels),
                         np.ascontiguousarray(w.reshape(1, *w.shape[:2], channels)))
            index[name] = add(name, (1, *out, channels))
            ops.append(Op("DEPTHWISE_CONV_2D", [index[inputs[0]], kernel], [index[name]],
                          {"padding": padding, "stride": stride, "dilation": dilation,
                           "depth_multiplier": int(w.shape[3]), "activation": None}))
        elif kind == "MaxPool":
            x = shape_of(inputs[0])
            ksize = _attr(node, "ksize")
            if ksize[0] != 1 or ksize[3] != 1:
                raise ValueError(f"{name}: pooling over {ksize} is not handled")
            padding, stride, _, out = _conv_geometry(node, x[1:3], ksize[1:3])
            index[name] = add(name, (1, *out, x[3]))
            ops.append(Op("MAX_POOL_2D", [index[inputs[0]]], [index[name]],
                          {"padding": padding, "stride": stride, "filter": tuple(ksize[1:3]),
                           "activation": None}))
        elif kind in ("AddV2", "Add"):
            if shape_of(inputs[0]) != shape_of(inputs[1]):
                raise ValueError(f"{name}: {shape_of(inputs[0])} + {shape_of(inputs[1])}")
            index[name] = add(name, shape_of(inputs[0]))
            ops.append(Op("ADD", [index[i] for i in inputs], [index[name]], {"activation": None}))
        elif kind in ("Prelu", "Relu"):
            index[name] = add(name, shape_of(inputs[0]))
            ops.append(Op(kind.upper(), [index[i] for i in inputs], [index[name]], {}))
        elif kind == "Pad":
            x = shape_of(inputs[0])
            paddings = const(inputs[1])
            if paddings.shape != (len(x), 2):
                raise ValueError(f"{name}: paddings {paddings.shape} for {x}")
            index[name] = add(name, [d + int(p.sum()) for d, p in zip(x, paddings)])
            ops.append(Op("PAD", [index[i] for i in inputs], [index[name]], {}))
        elif kind == "ConcatV2":
            parts, axis = inputs[:-1], int(const(inputs[-1]))
            if _attr(node, "N") != len(parts):
                raise ValueError(f"{name}: N does not match the inputs")
            shapes = [shape_of(p) for p in parts]
            axis %= len(shapes[0])
            shape = list(shapes[0])
            shape[axis] = sum(s[axis] for s in shapes)
            index[name] = add(name, shape)
            ops.append(Op("CONCATENATION", [index[p] for p in parts], [index[name]],
                          {"axis": axis, "activation": None}))
        else:
            raise ValueError(f"{name}: TF.js operator {kind} is not handled")

    signature = model.get("userDefinedMetadata", {}).get("signature", {})
    outputs = [index[ref(o)] for o in signature.get("outputs", {})]
    if not outputs:
        consumed = {ref(i) for n in nodes.values() for i in n.get("input", [])}
        outputs = [index[n] for n in nodes if n not in consumed and nodes[n]["op"] != "Const"]
    return Graph(tensors, ops, graph_inputs, outputs, model.get("generatedBy", ""))


def tfjs_op_counts(model):
    counts = {}
    for node in model["modelTopology"]["node"]:
        counts[node["op"]] = counts.get(node["op"], 0) + 1
    return counts


# ---------------------------------------------------------------------------------------------
# The three networks


def detector_onnx(tflite):
    graph = t2o.fold_fp16_constants(t2o.read_tflite(tflite))
    return t2o.to_onnx(graph, ["input"], ["regressors", "classificators"], "face_detection",
                       PRODUCER,
                       f"Converted from face_detection_short_range.tflite (sha256 "
                       f"{DETECTOR_TFLITE.sha256}) of the npm package "
                       f"{FACE_DETECTION.name}@{FACE_DETECTION.version}. Input RGB -1..1 NCHW "
                       "128x128; outputs 896 anchors' box and 6 keypoint offsets in input "
                       "pixels, and their score logits.")


def mesh_onnx(tflite):
    graph = t2o.fold_fp16_constants(t2o.read_tflite(tflite))
    return t2o.to_onnx(graph, ["input"], ["landmarks", "face_flag"], "face_landmark", PRODUCER,
                       f"Converted from face_landmark.tflite (sha256 {MESH_TFLITE.sha256}) of "
                       f"the npm package {FACE_MESH.name}@{FACE_MESH.version}. Input RGB 0..1 "
                       "NCHW 192x192; outputs 468 points x, y, z in input pixels, and the face "
                       "presence logit.")


def iris_graph(iris_json, iris_bin):
    model = json.loads(iris_json)
    return read_tfjs(model, tfjs_weights(model, {"iris.bin": iris_bin}))


def iris_onnx(iris_json, iris_bin):
    return t2o.to_onnx(iris_graph(iris_json, iris_bin), ["input"], ["landmarks"],
                       "iris_landmark", PRODUCER,
                       f"Converted from models/iris.json and models/iris.bin (sha256 "
                       f"{IRIS_JSON.sha256}, {IRIS_BIN.sha256}) of the npm package "
                       f"{HUMAN.name}@{HUMAN.version}, MediaPipe Iris. Input RGB 0..1 NCHW "
                       "64x64 eye crop; output 71 eye contour and brow points, then 5 iris "
                       "points, x, y, z in input pixels.")


# ---------------------------------------------------------------------------------------------
# Licences and NOTICE

IRIS_LICENCE_HEAD = """\
iris_landmark.onnx comes from the npm package @vladmandic/human 3.3.6, which is under
the MIT licence (the first text below, the package's LICENSE file). The network in it is
MediaPipe Iris, published by Google under the Apache License, Version 2.0 (the second
text below, Debian's copy).

"""

NOTICE_DETECTOR = """\
data/models/face_detection.onnx

Derived from the file face_detection_short_range.tflite of the npm package
{pkg.name}@{pkg.version} (MediaPipe Face Detection, the
short-range BlazeFace model, published by Google), licensed under the Apache
License, Version 2.0: see LICENSE.face_detection beside this file. The package
states "license": "Apache-2.0" and carries no licence text of its own; the text
there is Debian's copy of Apache-2.0.

  package tarball  {pkg.tarball}
    sha256         {pkg.tarball_sha256}
  original file    face_detection_short_range.tflite, {member.size} bytes
    sha256         {member.sha256}
  converted file   face_detection.onnx
    sha256         {onnx_sha}

Changes: the TFLite network was converted to ONNX (opset {opset}) by
tools/convert_face_landmarks.py of this repository. The float16 weights were
widened to float32 and the tensors reordered from NHWC to NCHW; the heads are
transposed back to NHWC before they are reshaped, so the 896 anchors keep their
order. The computation is otherwise unchanged.
"""

NOTICE_MESH = """\
data/models/face_landmark.onnx

Derived from the file face_landmark.tflite of the npm package
{pkg.name}@{pkg.version} (MediaPipe Face Mesh, published by
Google), licensed under the Apache License, Version 2.0: see LICENSE.face_landmark
beside this file. The package states "license": "Apache-2.0" and carries no
licence text of its own; the text there is Debian's copy of Apache-2.0. The file
is packed, with others, in face_mesh_solution_packed_assets.data, at the bytes
that the package's face_mesh_solution_packed_assets_loader.js gives for it.

  package tarball  {pkg.tarball}
    sha256         {pkg.tarball_sha256}
  packed assets    face_mesh_solution_packed_assets.data, {assets.size} bytes
    sha256         {assets.sha256}
  original file    face_landmark.tflite, {member.size} bytes (bytes {start} to {end})
    sha256         {member.sha256}
  converted file   face_landmark.onnx
    sha256         {onnx_sha}

Changes: the TFLite network was converted to ONNX (opset {opset}) by
tools/convert_face_landmarks.py of this repository. The float16 weights were
widened to float32 and the tensors reordered from NHWC to NCHW. The computation is
otherwise unchanged.
"""

NOTICE_CANONICAL = """\
data/models/canonical_face.txt

Taken from the file geometry_pipeline_metadata_landmarks.binarypb of the npm
package {pkg.name}@{pkg.version} (MediaPipe Face Geometry,
published by Google), licensed under the Apache License, Version 2.0: see
LICENSE.face_landmark beside this file. The file is packed in
face_mesh_solution_packed_assets.data like face_landmark.tflite (see there).

  original file    geometry_pipeline_metadata_landmarks.binarypb, {member.size} bytes
                   (bytes {start} to {end} of the packed assets)
    sha256         {member.sha256}
  written file     canonical_face.txt
    sha256         {text_sha}

Changes: the positions of the canonical face mesh's {count} vertices, one line "x y z"
each (in centimetres; x to the face's left, y up, z out of the face), were written as
text by tools/convert_face_landmarks.py of this repository. The texture coordinates,
the triangles and the Procrustes weights of the file are left out.
"""

NOTICE_IRIS = """\
data/models/iris_landmark.onnx

Derived from the files models/iris.json and models/iris.bin of the npm package
{pkg.name}@{pkg.version} (the Human library of Vladimir Mandic), a TF.js graph
model of MediaPipe Iris, published by Google ("generatedBy":
"https://github.com/google/mediapipe" in iris.json). The package is licensed under
the MIT licence (its LICENSE: Copyright (c) Vladimir Mandic); MediaPipe Iris is
licensed under the Apache License, Version 2.0. LICENSE.iris_landmark beside this
file holds both texts.

  package tarball  {pkg.tarball}
    sha256         {pkg.tarball_sha256}
  original files   models/iris.json, {json.size} bytes
    sha256         {json.sha256}
                   models/iris.bin, {bin.size} bytes
    sha256         {bin.sha256}
  converted file   iris_landmark.onnx
    sha256         {onnx_sha}

Changes: the TF.js graph was converted to ONNX (opset {opset}) by
tools/convert_face_landmarks.py of this repository. The tensors were reordered from
NHWC to NCHW and the weights from HWIO to OIHW; each convolution fused with its bias
(and PReLU) was written as Conv (and PRelu). The computation is otherwise unchanged.
"""


# ---------------------------------------------------------------------------------------------


def tarballs_from_args(paths):
    """{package: tarball path or None} from the --tgz arguments, told apart by file name."""
    chosen = {p.name: None for p in PACKAGES}
    for path in paths or []:
        for p in PACKAGES:
            if os.path.basename(path) == p.tarball:
                chosen[p.name] = path
                break
        else:
            raise ValueError(f"{path}: not one of {', '.join(p.tarball for p in PACKAGES)}")
    return chosen


def load_all(tgz_paths):
    """The verified source files: {name: bytes}, and the licence texts of the packages."""
    tgz = tarballs_from_args(tgz_paths)
    det, det_licence = t2o.package_files(FACE_DETECTION, [DETECTOR_TFLITE],
                                         tgz[FACE_DETECTION.name])
    mesh, mesh_licence = t2o.package_files(FACE_MESH, [PACKED_ASSETS, PACKED_LOADER],
                                           tgz[FACE_MESH.name])
    human, human_licence = t2o.package_files(HUMAN, [IRIS_JSON, IRIS_BIN], tgz[HUMAN.name])
    loader = mesh[PACKED_LOADER.path].decode("utf-8")
    assets = mesh[PACKED_ASSETS.path]
    files = {
        "detector": det[DETECTOR_TFLITE.path],
        "mesh": unpack_asset(assets, loader, MESH_TFLITE),
        "geometry": unpack_asset(assets, loader, GEOMETRY),
        "iris_json": human[IRIS_JSON.path],
        "iris_bin": human[IRIS_BIN.path],
        "asset_ranges": packed_asset_ranges(loader),
    }
    return files, {"detector": det_licence, "mesh": mesh_licence, "human": human_licence}


def repo_root():
    return t2o.repo_root()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tgz", action="append",
                        help="an already downloaded tarball of one of the packages (repeatable)")
    parser.add_argument("--out-dir", default=os.path.join(repo_root(), "data", "models"))
    parser.add_argument("--list-ops", action="store_true",
                        help="print the operators of the three graphs and stop")
    args = parser.parse_args(argv)

    files, licences = load_all(args.tgz)
    if args.list_ops:
        for title, counts in (
                ("face_detection_short_range.tflite",
                 t2o.op_counts(t2o.read_tflite(files["detector"]))),
                ("face_landmark.tflite", t2o.op_counts(t2o.read_tflite(files["mesh"]))),
                ("iris.json", tfjs_op_counts(json.loads(files["iris_json"])))):
            print(title)
            for kind, n in sorted(counts.items()):
                print(f"  {kind:28} {n}")
        return 0

    if licences["detector"] is not None or licences["mesh"] is not None:
        raise ValueError("a MediaPipe package now has a licence file: ship it instead")
    if licences["human"] is None or not licences["human"].startswith("MIT License"):
        raise ValueError("@vladmandic/human: expected its MIT LICENSE file")
    apache = t2o.debian_apache_licence()

    written = {
        DETECTOR_ONNX: detector_onnx(files["detector"]).SerializeToString(),
        MESH_ONNX: mesh_onnx(files["mesh"]).SerializeToString(),
        IRIS_ONNX: iris_onnx(files["iris_json"], files["iris_bin"]).SerializeToString(),
    }
    positions, _ = canonical_mesh(files["geometry"])
    written[CANONICAL_FACE] = canonical_face_text(positions).encode("ascii")
    written["LICENSE.face_detection"] = apache.encode("utf-8")
    written["LICENSE.face_landmark"] = apache.encode("utf-8")
    written["LICENSE.iris_landmark"] = (IRIS_LICENCE_HEAD + licences["human"].rstrip("\n") +
                                        "\n\n\n" + apache).encode("utf-8")

    os.makedirs(args.out_dir, exist_ok=True)
    for name, data in written.items():
        with open(os.path.join(args.out_dir, name), "wb") as f:
            f.write(data)

    ranges = files["asset_ranges"]
    common = {"opset": t2o.ONNX_OPSET}
    t2o.update_notice(os.path.join(args.out_dir, "NOTICE"), [
        NOTICE_DETECTOR.format(pkg=FACE_DETECTION, member=DETECTOR_TFLITE,
                               onnx_sha=sha256(written[DETECTOR_ONNX]), **common),
        NOTICE_MESH.format(pkg=FACE_MESH, assets=PACKED_ASSETS, member=MESH_TFLITE,
                           start=ranges[MESH_TFLITE.path][0], end=ranges[MESH_TFLITE.path][1],
                           onnx_sha=sha256(written[MESH_ONNX]), **common),
        NOTICE_CANONICAL.format(pkg=FACE_MESH, member=GEOMETRY, start=ranges[GEOMETRY.path][0],
                                end=ranges[GEOMETRY.path][1], count=len(positions),
                                text_sha=sha256(written[CANONICAL_FACE])),
        NOTICE_IRIS.format(pkg=HUMAN, json=IRIS_JSON, bin=IRIS_BIN,
                           onnx_sha=sha256(written[IRIS_ONNX]), **common),
    ])
    for name in (DETECTOR_ONNX, MESH_ONNX, IRIS_ONNX, CANONICAL_FACE):
        print(f"wrote {os.path.join(args.out_dir, name)}: {len(written[name])} bytes, "
              f"sha256 {sha256(written[name])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
