"""The quick start, run for real against this build tree (slow: it takes two
two-second exposures)."""
import os
import re
import subprocess

import pytest

from support import fuse_missing


def quickstart_packages(script):
    block = re.search(r"PACKAGES=\(([^)]*)\)", script.read_text()).group(1)
    return block.split()


def installed(package):
    done = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                          capture_output=True, text=True)
    return done.returncode == 0 and "install ok installed" in done.stdout


def test_quickstart_takes_both_pictures(tree, tmp_path):
    reason = fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    script = tree.source / "quickstart"
    missing = [p for p in quickstart_packages(script) if not installed(p)]
    if missing:
        pytest.skip(f"the quick start would install packages: {' '.join(missing)}")
    out = tmp_path / "out"
    env = {**os.environ, "QUICKSTART_BUILD": str(tree.build), "QUICKSTART_OUT": str(out)}
    done = subprocess.run([str(script)], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    text = done.stdout
    for name, kind in (("quickstart.fits", "FITS"), ("quickstart.tif", "TIFF")):
        assert f"{out}/{name}: {kind} Upload Complete\n" in text
    assert text.count("CCDSIM: 1392x1040 pixel 16-bit CCD camera\n") == 2
    assert text.count("Exposing 1392x1040 pixel 16-bit image for 2 seconds\n") == 2
    assert text.count("progress: 2 seconds remaining|  0% Uploaded        | 12%|") == 2
    assert (out / "quickstart.fits").stat().st_size == 2880 + 1392 * 1040 * 2 + 2880 - (1392 * 1040 * 2) % 2880
    with open(out / "quickstart-preview.png", "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n"
    assert f"Preview: {out}/quickstart-preview.png (480x359" in text
    # Nothing stays mounted or behind in /tmp.
    mount = re.search(r"Simulated camera: (\S+)/ccda", text).group(1)
    assert not os.path.exists(mount)
    with open("/proc/mounts") as mounts:
        assert mount not in mounts.read()
