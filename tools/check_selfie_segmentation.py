#!/usr/bin/python3
"""Checks data/models/selfie_segmentation.onnx against the TFLite network it came from.

The TFLite graph is run by the numpy interpreter of tools/numpy_reference.py (NHWC, float64,
each operator written after TensorFlow Lite's reference kernels, and MediaPipe's for the custom
transposed convolution), and the ONNX file by OpenCV's dnn module through tools/dnn_check.cpp,
which this script compiles into a temporary folder. Both get the same input blob, made by
OpenCV from a real photo, and must agree to --tolerance.

  /usr/bin/python3 tools/check_selfie_segmentation.py [--tgz FILE] [--photo JPG ...]
                                                       [--write-reference]

--write-reference also writes tests/data/selfie_segmentation_grace_hopper_64.png (the numpy
mask of the first photo averaged down to 64x64, 8-bit) and a note beside it, for C++ tests.

Needs the Debian packages of tools/convert_selfie_segmentation.py, plus g++, pkg-config,
libopencv-dnn-dev, libopencv-imgcodecs-dev and python3-pil.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_selfie_segmentation as conv  # noqa: E402  (reader and package pinning only)
from numpy_reference import build_dnn_check, interpret  # noqa: E402,F401

ROOT = conv.repo_root()
SIDE = 256
REFERENCE_SIDE = 64
REFERENCE_PNG = "selfie_segmentation_grace_hopper_64.png"
REFERENCE_NOTE = "selfie_segmentation_grace_hopper_64.txt"

# ---------------------------------------------------------------------------------------------
# Running both


def read_blob(path, shape):
    data = np.fromfile(path, np.float32)
    return data.reshape(shape)


def plausible_person_mask(mask):
    """A portrait with the person in the lower middle: rough bounds that a misread graph
    (wrong weight layout, channel order, padding side) does not meet."""
    top_corners = max(mask[:24, :24].mean(), mask[:24, -24:].mean())
    chest = mask[-48:, 96:160].mean()
    person = (mask > 0.5).mean()
    return top_corners < 0.1 and chest > 0.9 and 0.15 < person < 0.85, \
        f"top corners {top_corners:.3f}, chest {chest:.3f}, person share {person:.3f}"


def block_mean(mask, side):
    f = mask.shape[0] // side
    return mask.reshape(side, f, side, f).mean(axis=(1, 3))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tgz", help=f"an already downloaded {conv.TARBALL_NAME}")
    parser.add_argument("--model", default=os.path.join(ROOT, "data", "models", conv.ONNX_NAME))
    parser.add_argument("--photo", action="append",
                        help="photo to compare on (repeatable); the first one is the reference")
    parser.add_argument("--tolerance", type=float, default=1e-4,
                        help="largest allowed absolute difference of the masks")
    parser.add_argument("--times", type=int, default=20, help="timed OpenCV runs per photo")
    parser.add_argument("--write-reference", action="store_true")
    args = parser.parse_args(argv)
    photos = args.photo or [os.path.join(ROOT, "tests", "data", "grace_hopper.jpg"),
                            os.path.join(ROOT, "samples", "passed-grey-600x800.jpg")]

    tflite, _ = conv.tflite_from_args(args.tgz)
    graph = conv.fold_fp16_constants(conv.read_tflite(tflite))
    with open(args.model, "rb") as f:
        model_sha = hashlib.sha256(f.read()).hexdigest()
    print(f"{args.model}: sha256 {model_sha}")

    ok = True
    worst = 0.0
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_dnn_check(tmp)
        for n, photo in enumerate(photos):
            blob_path = os.path.join(tmp, f"in{n}.f32")
            out_path = os.path.join(tmp, f"out{n}.f32")
            subprocess.run([exe, "prepare", photo, blob_path], check=True)
            subprocess.run([exe, "run", args.model, blob_path, out_path, str(args.times)],
                           check=True)
            blob = read_blob(blob_path, (1, 3, SIDE, SIDE))
            opencv_mask = read_blob(out_path, (1, 1, SIDE, SIDE))[0, 0]
            numpy_mask = interpret(graph, blob.transpose(0, 2, 3, 1))[0, :, :, 0]

            diff = np.abs(numpy_mask - opencv_mask)
            worst = max(worst, diff.max())
            plausible, why = plausible_person_mask(numpy_mask)
            print(f"{os.path.relpath(photo, ROOT)}: max |numpy - opencv| {diff.max():.3g}, "
                  f"mean {diff.mean():.3g}; {why}")
            if diff.max() > args.tolerance:
                print(f"  FAIL: over the tolerance {args.tolerance:g}")
                ok = False
            if not plausible:
                print("  FAIL: not the mask of a portrait")
                ok = False

            if n == 0 and args.write_reference:
                write_reference(photo, numpy_mask, opencv_mask, model_sha)
    print(f"largest difference {worst:.3g}: {'ok' if ok else 'FAILED'}")
    return 0 if ok else 1


def write_reference(photo, numpy_mask, opencv_mask, model_sha):
    from PIL import Image

    small = np.rint(block_mean(numpy_mask, REFERENCE_SIDE) * 255).astype(np.uint8)
    opencv_small = block_mean(opencv_mask.astype(np.float64), REFERENCE_SIDE) * 255
    out_dir = os.path.join(ROOT, "tests", "data")
    Image.fromarray(small, mode="L").save(os.path.join(out_dir, REFERENCE_PNG), optimize=True)
    note = f"""\
{REFERENCE_PNG}: the person mask of {os.path.relpath(photo, ROOT)} given by
data/models/{conv.ONNX_NAME} (sha256 {model_sha}),
as tools/check_selfie_segmentation.py computed it with its numpy interpreter of the
original TFLite network.

Input: cv::imread(photo, cv::IMREAD_COLOR), then
  cv::dnn::blobFromImage(img, 1.0 / 255, cv::Size(256, 256), cv::Scalar(), true, false)
(RGB, 0..1, stretched to 256x256 with cv::resize's bilinear interpolation).
Output: the 1x1x256x256 probability, averaged over 4x4 blocks (what cv::resize with
INTER_AREA gives for 256 -> 64), times 255, rounded, 8-bit grey PNG.

OpenCV 4.6 dnn on the same blob, treated the same way, is at most
{np.abs(opencv_small - small).max():.3f} grey levels from the PNG (rounding included).
"""
    with open(os.path.join(out_dir, REFERENCE_NOTE), "w", encoding="utf-8") as f:
        f.write(note)
    print(f"wrote tests/data/{REFERENCE_PNG} and tests/data/{REFERENCE_NOTE}")


if __name__ == "__main__":
    sys.exit(main())
