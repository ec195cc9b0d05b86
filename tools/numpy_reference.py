#!/usr/bin/python3
"""The reference side of the network checks: a numpy interpreter of TFLite graphs, and a way to
run an ONNX file through OpenCV's dnn module (tools/dnn_check.cpp).

The interpreter runs the Graph that tools/tflite_to_onnx.py reads (NHWC, float64), each
operator written after TensorFlow Lite's reference kernels, and MediaPipe's for the custom
transposed convolution. It shares no code with the ONNX writer, so that a mistake in the
writer's layouts or paddings shows as a difference between the two.

Needs g++, pkg-config and libopencv-dnn-dev (plus libopencv-imgcodecs-dev) for dnn_check.
"""

import os
import subprocess

import numpy as np

TOOLS = os.path.dirname(os.path.abspath(__file__))
TRANSPOSE_CONV_BIAS = "Convolution2DTransposeBias"

# ---------------------------------------------------------------------------------------------
# Windows, padding


def tflite_padding(in_size, out_size, kernel, stride):
    """Pixels before the first input pixel, as TFLite's ComputePaddingWithOffset gives them."""
    return max((out_size - 1) * stride + kernel - in_size, 0) // 2


def windows(x, kh, kw, stride, out_shape, padding, fill=0.0):
    """(n, oh, ow, c, kh, kw) view of the patches that a convolution or pool reads; the cells
    outside the image hold `fill`."""
    oh, ow = out_shape
    sh, sw = stride
    top = tflite_padding(x.shape[1], oh, kh, sh) if padding == "SAME" else 0
    left = tflite_padding(x.shape[2], ow, kw, sw) if padding == "SAME" else 0
    bottom = max((oh - 1) * sh + kh - top - x.shape[1], 0)
    right = max((ow - 1) * sw + kw - left - x.shape[2], 0)
    padded = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)), constant_values=fill)
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
    return activate(y + (0 if b is None else b), opts["activation"])


def run_average_pool(x, opts, out_shape):
    fh, fw = opts["filter"]
    if opts["padding"] != "VALID":
        raise NotImplementedError("SAME average pool")
    patches = windows(x, fh, fw, opts["stride"], out_shape, "VALID")
    return activate(patches.mean(axis=(4, 5)), opts["activation"])


def run_max_pool(x, opts, out_shape):
    """The padded cells never win: TFLite takes the maximum over the cells inside the image."""
    fh, fw = opts["filter"]
    patches = windows(x, fh, fw, opts["stride"], out_shape, opts["padding"], fill=-np.inf)
    return activate(patches.max(axis=(4, 5)), opts["activation"])


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


def prelu(x, alpha):
    """x where x >= 0, alpha * x where not; alpha broadcasts over the trailing axes."""
    return np.where(x >= 0, x, alpha * x)


def run_ops(graph, image_nhwc):
    """Runs the (fp16-folded) graph on one NHWC image; returns every output, in order."""
    values = {i: t.data.astype(np.float64) if t.dtype != np.int32 else t.data
              for i, t in enumerate(graph.tensors) if t.data is not None}
    values[graph.inputs[0]] = image_nhwc.astype(np.float64)
    for op in graph.ops:
        args = [values[i] for i in op.inputs]
        out = graph.tensors[op.outputs[0]]
        out_shape = out.shape[1:3]
        if op.kind == "CONV_2D":
            y = run_conv(*args, op.options, out_shape)
        elif op.kind == "DEPTHWISE_CONV_2D":
            y = run_depthwise(args[0], args[1], args[2] if len(args) > 2 else None, op.options,
                              out_shape)
        elif op.kind == "AVERAGE_POOL_2D":
            y = run_average_pool(*args, op.options, out_shape)
        elif op.kind == "MAX_POOL_2D":
            y = run_max_pool(*args, op.options, out_shape)
        elif op.kind == "RESIZE_BILINEAR":
            y = run_resize_bilinear(*args, op.options)
        elif op.kind == TRANSPOSE_CONV_BIAS:
            y = run_transpose_conv_bias(*args, op.options, out_shape)
        elif op.kind == "ADD":
            y = activate(args[0] + args[1], op.options["activation"])
        elif op.kind == "MUL":
            y = activate(args[0] * args[1], op.options["activation"])
        elif op.kind == "PAD":
            y = np.pad(args[0], [tuple(int(v) for v in p) for p in args[1]])
        elif op.kind == "PRELU":
            y = prelu(args[0], args[1])
        elif op.kind == "RESHAPE":
            y = args[0].reshape(out.shape)  # row-major, as TFLite's buffers are
        elif op.kind == "CONCATENATION":
            y = activate(np.concatenate(args, axis=op.options["axis"]), op.options["activation"])
        elif op.kind == "HARD_SWISH":
            y = args[0] * np.minimum(np.maximum(args[0] + 3, 0), 6) / 6
        elif op.kind == "RELU":
            y = np.maximum(args[0], 0)
        elif op.kind == "LOGISTIC":
            y = 0.5 * (1 + np.tanh(args[0] / 2))  # 1 / (1 + e^-x), without overflow
        else:
            raise NotImplementedError(op.kind)
        if y.shape != out.shape:
            raise AssertionError(f"{op.kind} gave {y.shape}, the graph says {out.shape}")
        values[op.outputs[0]] = y
    return [values[i] for i in graph.outputs]


def interpret(graph, image_nhwc):
    """Runs the graph on one NHWC image; returns its first output."""
    return run_ops(graph, image_nhwc)[0]


# ---------------------------------------------------------------------------------------------
# OpenCV's side


def build_dnn_check(workdir):
    """Compiles tools/dnn_check.cpp into `workdir`; returns the executable's path."""
    exe = os.path.join(workdir, "dnn_check")
    cflags = subprocess.run(["pkg-config", "--cflags", "opencv4"], check=True,
                            capture_output=True, text=True).stdout.split()
    subprocess.run(["nice", "-n", "10", "g++", "-O1", "-std=c++17",
                    os.path.join(TOOLS, "dnn_check.cpp"), "-o", exe, *cflags, "-lopencv_dnn",
                    "-lopencv_imgcodecs", "-lopencv_imgproc", "-lopencv_core"], check=True)
    return exe


def run_dnn(exe, model, blob_nchw, workdir, times=0, threads=1):
    """Runs `model` on the float32 NCHW blob with OpenCV; returns ({output name: array},
    [timing lines])."""
    in_path = os.path.join(workdir, "dnn_in.f32")
    out_path = os.path.join(workdir, "dnn_out.f32")
    blob = np.ascontiguousarray(blob_nchw, np.float32)
    blob.tofile(in_path)
    run = subprocess.run([exe, "run", model, in_path, out_path, str(times),
                          "x".join(map(str, blob.shape)), str(threads)],
                         capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"dnn_check failed: {run.stderr.strip()}")
    data = np.fromfile(out_path, np.float32)
    outputs, timings, offset = {}, [], 0
    for line in run.stdout.splitlines():
        words = line.split()
        if words[:1] == ["output"]:
            shape = tuple(int(d) for d in words[2].split("x"))
            size = int(np.prod(shape))
            outputs[words[1]] = data[offset:offset + size].reshape(shape)
            offset += size
        elif words[:1] == ["forward:"]:
            timings.append(line)
    if offset != data.size:
        raise RuntimeError(f"dnn_check wrote {data.size} values, its outputs hold {offset}")
    return outputs, timings
