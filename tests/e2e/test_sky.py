"""The real sky: frames of the simulator's catalog stars, taken through
ccdshot as FITS and TIFF, plate-solve with astrometry.net's solve-field to
the pointing, the image scale and the rotation the simulator was given."""
import math
import os
import shutil
import subprocess
import time
import warnings

import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning

CATALOG = "/usr/share/astrometry/index-tycho2-09.littleendian.fits"
WIDTH, HEIGHT = 1392, 1040
PIXEL_UM = 1651 / 256          # the simulator's default pixel size (1/256 micrometre units)
FOCAL_MM = 400.0
SCALE = math.degrees(PIXEL_UM * 1e-3 / FOCAL_MM) * 3600  # arcseconds per pixel

# Two pointings and two rotations: the Pleiades at rotation 0, and a field
# of Cassiopeia, where the lines of right ascension converge, turned 37.5
# degrees.
CASES = [(56.75, 24.12, 0.0), (15.0, 60.0, 37.5)]


def missing():
    if shutil.which("solve-field") is None:
        return "solve-field is absent (package astrometry.net)"
    if not os.path.exists(CATALOG):
        return f"{CATALOG} is absent (package astrometry-data-tycho2-09-littleendian)"
    return None


def solve(path, ra, dec, work):
    """The WCS header solve-field finds for the image at path: a linear fit
    (the simulator's projection is a pure gnomonic one) to every matched
    star. A FITS image is halved first, which makes solve-field's source
    extraction several times faster; a TIFF image is not: solve-field's
    conversion of it leaves too little signal in the halved image."""
    out = work / path.name.replace(".", "-")
    out.mkdir()
    halve = ["--downsample", "2"] if path.suffix == ".fits" else []
    argv = ["solve-field", "--no-plots", "--overwrite", "--tweak-order", "1", "--no-remove-lines", "--uniformize", "0",
            *halve, "-D", str(out), "--temp-dir", str(out), "-o", "frame",
            "--scale-units", "arcsecperpix", "--scale-low", f"{SCALE * 0.97}", "--scale-high", f"{SCALE * 1.03}",
            "--ra", f"{ra}", "--dec", f"{dec}", "--radius", "1", "--cpulimit", "60", str(path)]
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    assert (out / "frame.solved").exists(), f"{path.name} did not solve:\n{done.stdout[-3000:]}"
    return fits.getheader(out / "frame.wcs")


def separation_arcsec(ra1, dec1, ra2, dec2):
    a = np.radians([ra1, dec1, ra2, dec2])
    cos_d = np.sin(a[1]) * np.sin(a[3]) + np.cos(a[1]) * np.cos(a[3]) * np.cos(a[0] - a[2])
    return math.degrees(math.acos(min(1.0, cos_d))) * 3600


def position_angle(ra1, dec1, ra2, dec2):
    """Degrees from north through east of the direction from point 1 to point 2."""
    a1, d1, a2, d2 = np.radians([ra1, dec1, ra2, dec2])
    return math.degrees(math.atan2(math.sin(a2 - a1) * math.cos(d2),
                                   math.cos(d1) * math.sin(d2) - math.sin(d1) * math.cos(d2) * math.cos(a2 - a1)))


def picture_solution(header, first_row_at_top):
    """Centre, scale, the angle of the picture's up direction at its centre
    (degrees from north through east) and the parity (-1: the sky as seen,
    1: mirrored), for the picture as its format shows it. solve-field
    numbers a FITS file's rows from the bottom, as FITS does, and a TIFF
    file's from the top; a TIFF picture's up is towards its first row."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)  # the header describes no image (NAXIS 0)
        wcs = WCS(header)
    up_step = -10.0 if first_row_at_top else 10.0
    centre, above = wcs.all_pix2world([[(WIDTH - 1) / 2, (HEIGHT - 1) / 2],
                                       [(WIDTH - 1) / 2, (HEIGHT - 1) / 2 + up_step]], 0)
    cd = wcs.pixel_scale_matrix
    scale = math.sqrt(abs(np.linalg.det(cd))) * 3600
    parity = int(np.sign(np.linalg.det(cd))) * (-1 if first_row_at_top else 1)
    return centre[0], centre[1], scale, position_angle(*centre, *above), parity


def angle_difference(a, b):
    return (a - b + 180.0) % 360.0 - 180.0


@pytest.mark.parametrize("ra, dec, rotation", CASES, ids=["pleiades-0", "cassiopeia-37.5"])
def test_frames_solve_to_the_pointing(start_sim, shot, tmp_path, ra, dec, rotation):
    reason = missing()
    if reason is not None:
        pytest.skip(reason)
    sim = start_sim(f"--pointing={ra},{dec}", f"--rotation={rotation}", "--zero-point=16", "--time-scale=0")
    solutions = {}
    for name, first_row_at_top in (("frame.fits", False), ("frame.tif", True)):
        result = shot(f"-camera={sim.device}", "0.5", name)
        assert result.status == 0, result.err
        started = time.monotonic()
        header = solve(tmp_path / name, ra, dec, tmp_path)
        c_ra, c_dec, scale, up, parity = picture_solution(header, first_row_at_top)
        offset = separation_arcsec(c_ra, c_dec, ra, dec)
        expected_up = rotation if first_row_at_top else rotation + 180.0
        print(f"{name} at ({ra}, {dec}) rotation {rotation}: centre {offset:.2f}\" off, scale "
              f"{100 * (scale / SCALE - 1):+.3f} %, rotation {angle_difference(up, expected_up):+.3f} deg, "
              f"parity {parity}, solved in {time.monotonic() - started:.1f} s")
        assert offset < 5.0, name
        assert abs(scale / SCALE - 1) < 0.005, name
        assert abs(angle_difference(up, expected_up)) < 0.2, name
        solutions[name] = (up, parity)
    # The FITS picture is the TIFF picture turned 180 degrees, not mirrored.
    (fits_up, fits_parity), (tiff_up, tiff_parity) = solutions["frame.fits"], solutions["frame.tif"]
    assert abs(angle_difference(fits_up - tiff_up, 180.0)) < 0.2
    assert fits_parity == tiff_parity == -1
