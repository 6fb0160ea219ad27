"""The image the simulated camera sent, as the checker scripts expect it."""
import numpy as np


def camera_image(args):
    """The binned window as the camera sent it, row by row: the listed pixels,
    or the simulator's ramp pattern summed over each binned pixel and clipped."""
    if args.pixels is not None:
        values = [int(v) for v in args.pixels.split(",")]
        return np.array(values, dtype=np.uint16).reshape(args.rows, args.columns)
    row = np.arange(args.rows, dtype=np.int64)[:, None]
    column = np.arange(args.columns, dtype=np.int64)[None, :]
    total = np.zeros((args.rows, args.columns), dtype=np.int64)
    for j in range(args.y_bin):
        for i in range(args.x_bin):
            sx = args.x_origin + column * args.x_bin + i
            sy = args.y_origin + row * args.y_bin + j
            total += (sx * 37 + sy * 101 + args.exposure_ms) % 65536
    return np.minimum(total, 65535).astype(np.uint16)
