"""Installation: cmake --install into a prefix, the manual pages, and the
Debian package built by CPack (its contents, lintian's verdict, and the
programs and pages unpacked from it)."""
import os
import re
import shutil
import subprocess

import pytest

INSTALLED = ["bin/ccdshot", "bin/ccdsim", "share/man/man1/ccdshot.1.gz",
             "share/man/man1/ccdsim.1.gz", "share/doc/ccdshot/copyright",
             "share/doc/ccdshot/changelog.gz", "share/bash-completion/completions/ccdshot",
             "share/bash-completion/completions/ccdsim"]
MAN_ENV = {**os.environ, "MANPAGER": "cat", "PAGER": "cat", "MANWIDTH": "80",
           "MAN_KEEP_FORMATTING": "", "LC_ALL": "C.UTF-8"}


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


def render(page):
    """The manual page as man shows it; groff's warnings fail the case."""
    if shutil.which("man") is None:
        pytest.skip("man is absent (package man-db)")
    done = subprocess.run(["man", "--warnings", "-l", str(page)], capture_output=True, text=True,
                          env=MAN_ENV)
    assert done.returncode == 0, done.stderr
    # groff reports unknown requests, bad escapes and overfull lines on standard error.
    assert done.stderr == ""
    return done.stdout


def test_manual_page_renders(tree):
    text = render(tree.source / "doc" / "ccdshot.1")
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


def test_simulator_manual_page_has_every_option(tree):
    text = render(tree.source / "doc" / "ccdsim.1")
    for heading in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES"]:
        assert f"\n{heading}\n" in text, heading
    usage = subprocess.run([str(tree.ccdsim), "--help"], capture_output=True, text=True,
                           check=True).stdout
    options = re.findall(r"^  (--[a-z-]+=?)", usage, re.MULTILINE)
    assert len(options) == 38, options
    for option in options:
        assert re.search(rf"^       (\S+, )?{re.escape(option)}", text, re.MULTILINE), option
    assert "ccdsim --time-scale=0 --fault-fail-row=3" in text


@pytest.fixture(scope="module")
def package(tree, tmp_path_factory):
    """The .deb that cpack builds from this build tree (in a scratch directory)."""
    for tool in ("cpack", "dpkg-deb"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is absent")
    scratch = tmp_path_factory.mktemp("package")
    config = tree.build / "CPackConfig.cmake"
    done = subprocess.run(["cpack", "-G", "DEB", "--config", str(config), "-B", str(scratch)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    (deb,) = [p for p in scratch.iterdir() if p.suffix == ".deb"]
    return deb


def test_debian_package(package):
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


def test_package_is_lintian_clean(package):
    if shutil.which("lintian") is None:
        pytest.skip("lintian is absent (package lintian)")
    done = subprocess.run(["lintian", "--info", str(package)], capture_output=True, text=True)
    findings = [line for line in done.stdout.splitlines() if re.match(r"[EW]: ", line)]
    assert findings == [], done.stdout


def test_unpacked_package_runs(package, tmp_path):
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(package), str(root)], check=True)
    helped = subprocess.run([str(root / "usr/bin/ccdshot"), "-help"], capture_output=True,
                            text=True)
    assert helped.returncode == 0
    assert helped.stdout.splitlines()[1] == "Snap a photo from a monochrome CCD camera. Usage:"
    helped = subprocess.run([str(root / "usr/bin/ccdsim"), "--help"], capture_output=True,
                            text=True)
    assert helped.returncode == 0
    assert helped.stdout.splitlines()[0] == "Usage: ccdsim [OPTION]... MOUNTPOINT"
    for name, summary in (("ccdshot", "take one photograph with a monochrome CCD camera"),
                          ("ccdsim", "simulated CCD camera served as a FUSE file system")):
        text = render(root / f"usr/share/man/man1/{name}.1.gz")
        assert f"\nNAME\n       {name} - {summary}\n" in text, text[:300]
