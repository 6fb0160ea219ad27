#!/usr/bin/python3
"""Checks a FITS image written from the simulated camera with real readers.

astropy must read the file as one primary image of unsigned 16-bit values
equal, pixel for pixel, to what the camera sent (the ramp pattern, or the
values given with --pixels), each row mirrored; fitsverify must find nothing.
Prints "ok" or what is wrong (exit status 1).
"""
import argparse
import re
import subprocess
import sys
import warnings

import numpy as np
from astropy.io import fits

from camera_image import camera_image


KEYWORDS = ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "BZERO", "BSCALE", "DATAMIN",
            "DATAMAX", "XPIXSZ", "YPIXSZ", "DATE-OBS", "EXPOSURE"]


def check_astropy(path, args, problems):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        read_with_astropy(path, args, problems)
    for warning in caught:
        problems.append(f"astropy: {warning.message}")


def read_with_astropy(path, args, problems):
    with fits.open(path, memmap=False) as hdul:
        if len(hdul) != 1:
            problems.append(f"{len(hdul)} HDUs, expected 1")
        header = hdul[0].header
        if list(header.keys()) != KEYWORDS:
            problems.append(f"keywords {list(header.keys())}, expected {KEYWORDS}")
        for key, value in (("BITPIX", 16), ("NAXIS", 2), ("NAXIS1", args.columns),
                           ("NAXIS2", args.rows), ("BZERO", 32768), ("BSCALE", 1)):
            if header.get(key) != value:
                problems.append(f"{key} = {header.get(key)!r}, expected {value!r}")
        data = hdul[0].data
        if data is None or data.dtype != np.uint16:
            problems.append(f"data type {None if data is None else data.dtype}, expected uint16")
            return
        expected = camera_image(args)[:, ::-1]
        if data.shape != expected.shape:
            problems.append(f"shape {data.shape}, expected {expected.shape}")
        elif not np.array_equal(data, expected):
            rows, columns = np.nonzero(data != expected)
            r, c = rows[0], columns[0]
            problems.append(f"{len(rows)} pixels differ, first at row {r} column {c}: "
                            f"{data[r, c]} instead of {expected[r, c]}")


def check_fitsverify(path, problems):
    run = subprocess.run(["fitsverify", path], capture_output=True, text=True)
    output = run.stdout + run.stderr
    findings = [line for line in output.splitlines() if re.match(r"\s*\*\*\* (Error|Warning):", line)]
    for line in findings:
        problems.append("fitsverify: " + line.strip())
    summary = re.search(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", output)
    if summary is None:
        problems.append("fitsverify printed no summary:\n" + output)
    elif int(summary.group(1)) + int(summary.group(2)) != len(findings):
        problems.append("fitsverify: " + summary.group(0) + f" but {len(findings)} findings listed")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    for name in ("columns", "rows", "x-origin", "y-origin", "x-bin", "y-bin", "exposure-ms"):
        parser.add_argument("--" + name, type=int, required=True)
    parser.add_argument("--pixels", help="the camera's values, row by row, comma-separated")
    args = parser.parse_args()
    problems = []
    check_astropy(args.path, args, problems)
    check_fitsverify(args.path, problems)
    if problems:
        print("\n".join(problems))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
