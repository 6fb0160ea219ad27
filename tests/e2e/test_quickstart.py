"""The quick start, run for real against this build tree (slow: it takes two
two-second exposures), of the Pleiades from the star catalog and, with no
catalog, of the synthetic sky."""
import os
import re
import subprocess

import pytest
from PIL import Image

from support import fuse_missing


def quickstart_packages(script):
    block = re.search(r"PACKAGES=\(([^)]*)\)", script.read_text()).group(1)
    return block.split()


def installed(package):
    done = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                          capture_output=True, text=True)
    return done.returncode == 0 and "install ok installed" in done.stdout


CATALOG = "/usr/share/astrometry/index-tycho2-09.littleendian.fits"

# The sky line, the stretch of the preview (black at the median, white at the
# largest value two horizontally adjacent pixels hold) and the least number
# of preview pixels well above the background.
SKIES = {
    "pleiades": (f"Sky: the Pleiades (RA 56.75, Dec 24.12) from the star catalog {CATALOG}\n",
                 "1002..3694", 60),
    # A pair of equal pixels of the brightest synthetic star: 2 s x 20000/s x
    # exp(-1/8 / 1.2^2) over the bias of 1000 and the dark current; the hot
    # pixels hold less.
    "synthetic": ("Sky: synthetic (no star catalog at /nonexistent/catalog.fits; the package "
                  "astrometry-data-tycho2-09-littleendian provides it)\n", "1002..37675", 50),
}


@pytest.mark.parametrize("sky", SKIES)
def test_quickstart_takes_both_pictures(tree, tmp_path, sky):
    reason = fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    script = tree.source / "quickstart"
    missing = [p for p in quickstart_packages(script) if not installed(p)]
    if missing:
        pytest.skip(f"the quick start would install packages: {' '.join(missing)}")
    if sky == "pleiades" and not os.path.exists(CATALOG):
        pytest.skip(f"the quick start would install the star catalog ({CATALOG} is absent)")
    sky_line, stretch, bright_pixels = SKIES[sky]
    out = tmp_path / "out"
    env = {**os.environ, "QUICKSTART_BUILD": str(tree.build), "QUICKSTART_OUT": str(out)}
    if sky == "synthetic":
        env["QUICKSTART_CATALOG"] = "/nonexistent/catalog.fits"
    done = subprocess.run([str(script)], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    text = done.stdout
    assert sky_line in text
    for name, kind in (("quickstart.fits", "FITS"), ("quickstart.tif", "TIFF")):
        assert f"{out}/{name}: {kind} Upload Complete\n" in text
    assert text.count("CCDSIM: 1392x1040 pixel 16-bit CCD camera\n") == 2
    assert text.count("Exposing 1392x1040 pixel 16-bit image for 2 seconds\n") == 2
    assert text.count("progress: 2 seconds remaining|  0% Uploaded        | 12%|") == 2
    assert (out / "quickstart.fits").stat().st_size == 2880 + 1392 * 1040 * 2 + 2880 - (1392 * 1040 * 2) % 2880
    with open(out / "quickstart-preview.png", "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n"
    assert (f"Preview: {out}/quickstart-preview.png (480x359, asinh stretch {stretch} A/D counts)\n"
            in text)
    # The stars keep their differences: only the brightest reaches white,
    # while many pixels stand well above the background.
    histogram = Image.open(out / "quickstart-preview.png").histogram()
    assert len(histogram) == 256 and histogram[255] <= 4 and sum(histogram[64:255]) >= bright_pixels, histogram
    # Nothing stays mounted or behind in /tmp.
    mount = re.search(r"Simulated camera: (\S+)/ccda", text).group(1)
    assert not os.path.exists(mount)
    with open("/proc/mounts") as mounts:
        assert mount not in mounts.read()
