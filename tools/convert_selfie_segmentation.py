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

The TFLite reader and the ONNX writer are those of tools/tflite_to_onnx.py, which the face
network converter (tools/convert_face_landmarks.py) shares.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tflite_to_onnx as t2o  # noqa: E402
# The reader's names, for the checks and tests that use this module.
from tflite_to_onnx import (  # noqa: E402,F401
    ONNX_OPSET, TRANSPOSE_CONV_BIAS, Graph, Op, Tensor, fold_fp16_constants, op_counts,
    read_tflite, repo_root, sha256)

PACKAGE = "@mediapipe/selfie_segmentation"
VERSION = "0.1.1675465747"
TARBALL_NAME = "mediapipe-selfie_segmentation-0.1.1675465747.tgz"
TARBALL_SHA256 = "7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9"
TFLITE_MEMBER = "package/selfie_segmentation.tflite"
TFLITE_SIZE = 249024
TFLITE_SHA256 = "8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27"

ONNX_NAME = "selfie_segmentation.onnx"
LICENSE_NAME = "LICENSE.selfie_segmentation"
INPUT_NAME = "input"
OUTPUT_NAME = "mask"

SELFIE = t2o.Package(PACKAGE, VERSION, TARBALL_NAME, TARBALL_SHA256)
TFLITE = t2o.Member(TFLITE_MEMBER, TFLITE_SIZE, TFLITE_SHA256)


def to_onnx(graph):
    return t2o.to_onnx(graph, [INPUT_NAME], [OUTPUT_NAME], "selfie_segmentation",
                       "convert_selfie_segmentation.py",
                       f"Converted from {TFLITE_MEMBER.split('/')[-1]} (sha256 {TFLITE_SHA256}) "
                       f"of the npm package {PACKAGE}@{VERSION}. "
                       "Input RGB 0..1 NCHW, output person probability.")


def load_package(tgz_path):
    """Checks the tarball and returns (tflite bytes, licence text or None)."""
    files, licence = t2o.read_package(SELFIE, tgz_path, [TFLITE])
    return files[TFLITE_MEMBER], licence


def tflite_from_args(tgz):
    """The verified TFLite bytes and licence text, from `tgz` or from a fresh `npm pack`."""
    files, licence = t2o.package_files(SELFIE, [TFLITE], tgz)
    return files[TFLITE_MEMBER], licence


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
        licence = t2o.debian_apache_licence()

    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, ONNX_NAME), "wb") as f:
        f.write(onnx_bytes)
    with open(os.path.join(args.out_dir, LICENSE_NAME), "w", encoding="utf-8") as f:
        f.write(licence)
    t2o.update_notice(os.path.join(args.out_dir, "NOTICE"), [
        NOTICE.format(package=PACKAGE, version=VERSION, tarball=TARBALL_NAME,
                      tarball_sha=TARBALL_SHA256, tflite_size=TFLITE_SIZE,
                      tflite_sha=TFLITE_SHA256, onnx_sha=sha256(onnx_bytes), opset=ONNX_OPSET)])
    print(f"wrote {os.path.join(args.out_dir, ONNX_NAME)}: {len(onnx_bytes)} bytes, "
          f"sha256 {sha256(onnx_bytes)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
