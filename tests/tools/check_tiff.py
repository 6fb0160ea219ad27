#!/usr/bin/python3
"""Checks a TIFF image written from the simulated camera with real readers.

tiffdump must list exactly the expected tags (and the expected values where
given), tiffinfo must decode every strip without complaint, and Pillow must
read a 16-bit greyscale image equal, pixel for pixel, to what the camera
sent (the ramp pattern, or the values given with --pixels), rows as read.
Prints "ok" or what is wrong (exit status 1).
"""
import argparse
import re
import subprocess
import sys

import numpy as np
from PIL import Image

from camera_image import camera_image

# tiffdump's line for one tag: Name (number) TYPE (code) count<values>
TAG_LINE = re.compile(r"^\S+ \((\d+)\) \S+ \(\d+\) \d+<(.*)>$")


def dumped_tags(path, problems):
    run = subprocess.run(["tiffdump", path], capture_output=True, text=True)
    if run.returncode != 0 or run.stderr:
        problems.append(f"tiffdump failed ({run.returncode}): {run.stderr}")
    tags = {}
    for line in run.stdout.splitlines():
        match = TAG_LINE.match(line)
        if match:
            tags[int(match.group(1))] = match.group(2)
    if run.stdout.count("Directory ") != 1:
        problems.append("tiffdump: not exactly one directory")
    return tags


def check_tags(path, args, problems):
    tags = dumped_tags(path, problems)
    if args.tags is not None:
        expected = sorted(int(t) for t in args.tags.split(","))
        if sorted(tags) != expected:
            problems.append(f"tags {sorted(tags)}, expected {expected}")
    for assignment in args.expect:
        number, value = assignment.split("=", 1)
        if tags.get(int(number)) != value:
            problems.append(f"tag {number} is {tags.get(int(number))!r}, expected {value!r}")


def check_tiffinfo(path, problems):
    run = subprocess.run(["tiffinfo", "-D", path], capture_output=True, text=True)
    if run.returncode != 0 or run.stderr:
        problems.append(f"tiffinfo -D failed ({run.returncode}): {run.stderr.strip()}")


# How Pillow presents the stored rows for each Orientation it applies.
ORIENTED = {
    1: lambda a: a,
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1, :],
}


def check_pixels(path, args, problems):
    with Image.open(path) as image:
        orientation = image.tag_v2.get(274, 1)
        if orientation not in ORIENTED:
            problems.append(f"Orientation {orientation} cannot be checked")
            return
        if image.mode not in ("I;16", "I;16B"):
            problems.append(f"mode {image.mode}, expected 16-bit greyscale")
            return
        if image.size != (args.columns, args.rows):
            problems.append(f"size {image.size}, expected {(args.columns, args.rows)}")
            return
        data = np.asarray(image).astype(np.uint16)
    expected = ORIENTED[orientation](camera_image(args))
    if not np.array_equal(data, expected):
        rows, columns = np.nonzero(data != expected)
        r, c = rows[0], columns[0]
        problems.append(f"{len(rows)} pixels differ, first at row {r} column {c}: "
                        f"{data[r, c]} instead of {expected[r, c]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    for name in ("columns", "rows", "x-origin", "y-origin", "x-bin", "y-bin", "exposure-ms"):
        parser.add_argument("--" + name, type=int, required=True)
    parser.add_argument("--pixels", help="the camera's values, row by row, comma-separated")
    parser.add_argument("--tags", help="the tag numbers the file must hold, comma-separated")
    parser.add_argument("--expect", action="append", default=[],
                        help="TAG=VALUE as tiffdump shows the value between < and >")
    args = parser.parse_args()
    problems = []
    check_tags(args.path, args, problems)
    check_tiffinfo(args.path, problems)
    check_pixels(args.path, args, problems)
    if problems:
        print("\n".join(problems))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
