"""Installation: cmake --install into a prefix, the manual page, and the
Debian package built by CPack."""
import os
import shutil
import subprocess

import pytest

INSTALLED = ["bin/ccdshot", "bin/ccdsim", "share/man/man1/ccdshot.1"]


def test_install_into_a_prefix(tree, tmp_path):
    prefix = tmp_path / "prefix"
    done = subprocess.run(["cmake", "--install", str(tree.build), "--prefix", str(prefix)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    for name in INSTALLED:
        assert (prefix / name).is_file(), name
    for name in INSTALLED[:2]:
        assert os.access(prefix / name, os.X_OK), name
    # The installed program runs on its own.
    helped = subprocess.run([str(prefix / "bin/ccdshot"), "-help"], capture_output=True, text=True)
    assert helped.returncode == 0
    assert helped.stdout.splitlines()[1] == "Snap a photo from a monochrome CCD camera. Usage:"


def test_manual_page_renders(tree):
    if shutil.which("man") is None:
        pytest.skip("man is absent (package man-db)")
    page = tree.source / "doc" / "ccdshot.1"
    done = subprocess.run(["man", "-l", str(page)], capture_output=True, text=True,
                          env={**os.environ, "MANPAGER": "cat", "PAGER": "cat", "MANWIDTH": "80",
                               "MAN_KEEP_FORMATTING": ""})
    assert done.returncode == 0, done.stderr
    # groff reports unknown requests and bad escapes on standard error.
    assert done.stderr == ""
    text = done.stdout
    for heading in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXPOSURE TIME", "OUTPUT FILE",
                    "ENVIRONMENT", "PROGRESS CHANNEL", "EXIT STATUS"]:
        assert f"\n{heading}\n" in text, heading
    for word in ["-autoexpose", "-binning", "-offset", "-origin", "-size", "-camera", "-tiff",
                 "-fits", "-jpeg", "-debug", "-dark", "-nowipe", "-noclear", "-noaccumulation",
                 "-tdi", "-help", "TIFF_ARTIST", "TIFF_HOST", "TIFF_SOFTWARE", "TIFF_MAKE",
                 "TIFF_COMPRESSION", "TIFF_PREDICTOR", "TIFF_ORIENTATION", "TIFF_COMMENT"]:
        assert word in text, word
    statuses = text[text.index("\nEXIT STATUS\n"):text.index("\nFILES\n")]
    for status in ["0", "1", "2", "3", "6", "errno"]:
        assert f"\n       {status}\n" in statuses or f"\n       {status}  " in statuses, status


def test_debian_package(tree, tmp_path):
    for tool in ("cpack", "dpkg-deb"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is absent")
    config = tree.build / "CPackConfig.cmake"
    done = subprocess.run(["cpack", "-G", "DEB", "--config", str(config), "-B", str(tmp_path)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    (package,) = [p for p in tmp_path.iterdir() if p.suffix == ".deb"]
    fields = subprocess.run(["dpkg-deb", "-f", str(package), "Package", "Depends"],
                            capture_output=True, text=True, check=True).stdout
    assert "Package: ccdshot\n" in fields
    depends = [d.split()[0] for d in fields.split("Depends:", 1)[1].split(",")]
    for needed in ["libc6", "libstdc++6", "libtiff6", "libfuse3-3", "fuse3"]:
        assert needed in depends, (needed, fields)
    listing = subprocess.run(["dpkg-deb", "-c", str(package)], capture_output=True, text=True,
                             check=True).stdout
    files = {line.split()[-1] for line in listing.splitlines()}
    for name in INSTALLED:
        assert f"./usr/{name}" in files, (name, sorted(files))
