#!/usr/bin/python3
"""Checks data/models/selfie_segmentation.onnx against the TFLite network it came from.

The TFLite graph is run by the small numpy interpreter below (NHWC, float64, each operator
written after TensorFlow Lite's reference kernels, and MediaPipe's for the custom transposed
convolution), and the ONNX file by OpenCV's dnn module through tools/dnn_check.cpp, which this
script compiles into a temporary folder. Both get the same input blob, made by OpenCV from a
real photo, and must agree to --tolerance.

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

ROOT = conv.repo_root()
SIDE = 256
REFERENCE_SIDE = 64
REFERENCE_PNG = "selfie_segmentation_grace_hopper_64.png"
REFERENCE_NOTE = "selfie_segmentation_grace_hopper_64.txt"

# ---------------------------------------------------------------------------------------------
# A numpy interpreter of the TFLite graph, NHWC, in float64


def tflite_padding(in_size, out_size, kernel, stride):
    """Pixels before the first input pixel, as TFLite's ComputePaddingWithOffset gives them."""
    return max((out_size - 1) * stride + kernel - in_size, 0) // 2


def windows(x, kh, kw, stride, out_shape, padding):
    """(n, oh, ow, c, kh, kw) view of the patches that a convolution or pool reads."""
    oh, ow = out_shape
    sh, sw = stride
    top = tflite_padding(x.shape[1], oh, kh, sh) if padding == "SAME" else 0
    left = tflite_padding(x.shape[2], ow, kw, sw) if padding == "SAME" else 0
    bottom = max((oh - 1) * sh + kh - top - x.shape[1], 0)
    right = max((ow - 1) * sw + kw - left - x.shape[2], 0)
    padded = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)))
    view = np.lib.stride_tricks.sliding_window_view(padded, (kh, kw), axis=(1, 2))
    return view[:, :(oh - 1) * sh + 1:sh, :(ow - 1) * sw + 1:sw]


def activate(x, name):
    if name is None:
        return x
    if name == "RELU":
        return np.maximum(x, 0)
    raise NotImplementedError(f"fused activation {name}")


def run_conv(x, w, b, opts, out_shape):
    if opts["dilation"] != (1, 1):
        raise NotImplementedError("dilated convolution")
    patches = windows(x, w.shape[1], w.shape[2], opts["stride"], out_shape, opts["padding"])
    y = np.tensordot(patches, w, axes=([3, 4, 5], [3, 1, 2]))  # w: O x KH x KW x I
    return activate(y + b, opts["activation"])


def run_depthwise(x, w, b, opts, out_shape):
    if opts["dilation"] != (1, 1) or opts["depth_multiplier"] != 1:
        raise NotImplementedError("dilated or multiplied depthwise convolution")
    patches = windows(x, w.shape[1], w.shape[2], opts["stride"], out_shape, opts["padding"])
    y = np.einsum("nhwcyx,yxc->nhwc", patches, w[0])  # w: 1 x KH x KW x C
    return activate(y + b, opts["activation"])


def run_average_pool(x, opts, out_shape):
    fh, fw = opts["filter"]
    if opts["padding"] != "VALID":
        raise NotImplementedError("SAME average pool")
    patches = windows(x, fh, fw, opts["stride"], out_shape, "VALID")
    return activate(patches.mean(axis=(4, 5)), opts["activation"])


def run_resize_bilinear(x, size, opts):
    if opts["align_corners"] or not opts["half_pixel_centers"]:
        raise NotImplementedError("resize without half-pixel centres")

    def axis(in_size, out_size):
        scale = in_size / out_size
        pos = (np.arange(out_size) + 0.5) * scale - 0.5
        lower = np.maximum(np.floor(pos), 0).astype(int)
        upper = np.minimum(np.ceil(pos), in_size - 1).astype(int)
        return lower, upper, pos - lower

    y0, y1, dy = axis(x.shape[1], int(size[0]))
    x0, x1, dx = axis(x.shape[2], int(size[1]))
    dy = dy[None, :, None, None]
    dx = dx[None, None, :, None]
    top = x[:, y0][:, :, x0] * (1 - dx) + x[:, y0][:, :, x1] * dx
    bottom = x[:, y1][:, :, x0] * (1 - dx) + x[:, y1][:, :, x1] * dx
    return top * (1 - dy) + bottom * dy


def run_transpose_conv_bias(x, w, b, opts, out_shape):
    """MediaPipe's Convolution2DTransposeBias: every input pixel scatters its kernel-sized
    patch onto the output, then the output window is cut from the middle."""
    n, h, wd, _ = x.shape
    out_c, kh, kw, _ = w.shape
    sh, sw = opts["stride"]
    full = np.zeros((n, (h - 1) * sh + kh, (wd - 1) * sw + kw, out_c))
    for fy in range(kh):
        for fx in range(kw):
            full[:, fy:fy + (h - 1) * sh + 1:sh, fx:fx + (wd - 1) * sw + 1:sw] += \
                np.tensordot(x, w[:, fy, fx, :], axes=([3], [1]))
    top = (full.shape[1] - out_shape[0]) // 2
    left = (full.shape[2] - out_shape[1]) // 2
    return full[:, top:top + out_shape[0], left:left + out_shape[1]] + b


def interpret(graph, image_nhwc):
    """Runs the (fp16-folded) graph on one NHWC image; returns the output tensor."""
    values = {i: t.data.astype(np.float64) if t.dtype != np.int32 else t.data
              for i, t in enumerate(graph.tensors) if t.data is not None}
    values[graph.inputs[0]] = image_nhwc.astype(np.float64)
    for op in graph.ops:
        args = [values[i] for i in op.inputs]
        out_shape = graph.tensors[op.outputs[0]].shape[1:3]
        if op.kind == "CONV_2D":
            y = run_conv(*args, op.options, out_shape)
        elif op.kind == "DEPTHWISE_CONV_2D":
            y = run_depthwise(*args, op.options, out_shape)
        elif op.kind == "AVERAGE_POOL_2D":
            y = run_average_pool(*args, op.options, out_shape)
        elif op.kind == "RESIZE_BILINEAR":
            y = run_resize_bilinear(*args, op.options)
        elif op.kind == conv.TRANSPOSE_CONV_BIAS:
            y = run_transpose_conv_bias(*args, op.options, out_shape)
        elif op.kind == "ADD":
            y = activate(args[0] + args[1], op.options["activation"])
        elif op.kind == "MUL":
            y = activate(args[0] * args[1], op.options["activation"])
        elif op.kind == "HARD_SWISH":
            y = args[0] * np.minimum(np.maximum(args[0] + 3, 0), 6) / 6
        elif op.kind == "RELU":
            y = np.maximum(args[0], 0)
        elif op.kind == "LOGISTIC":
            y = 0.5 * (1 + np.tanh(args[0] / 2))  # 1 / (1 + e^-x), without overflow
        else:
            raise NotImplementedError(op.kind)
        if y.shape != graph.tensors[op.outputs[0]].shape:
            raise AssertionError(f"{op.kind} gave {y.shape}, the graph says "
                                 f"{graph.tensors[op.outputs[0]].shape}")
        values[op.outputs[0]] = y
    return values[graph.outputs[0]]


# ---------------------------------------------------------------------------------------------
# Running both


def build_dnn_check(workdir):
    exe = os.path.join(workdir, "dnn_check")
    cflags = subprocess.run(["pkg-config", "--cflags", "opencv4"], check=True,
                            capture_output=True, text=True).stdout.split()
    subprocess.run(["g++", "-O1", "-std=c++17", os.path.join(ROOT, "tools", "dnn_check.cpp"),
                    "-o", exe, *cflags, "-lopencv_dnn", "-lopencv_imgcodecs",
                    "-lopencv_imgproc", "-lopencv_core"], check=True)
    return exe


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
