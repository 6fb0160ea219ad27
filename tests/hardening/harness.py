"""Helpers of the hardening tests: the built programs, a mounted ccdsim that
can be stopped, killed or lazily unmounted, a runner of ccdshot, and the
expected contents of partly written images.

The build tree comes from CCDSHOT_BINARY_DIR (CTest sets it), else the
source tree's build/ directory.
"""
import dataclasses
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get("CCDSHOT_SOURCE_DIR", HERE.parent.parent)).resolve()
BUILD = pathlib.Path(os.environ.get("CCDSHOT_BINARY_DIR", SOURCE / "build")).resolve()
CCDSHOT = BUILD / "ccdshot"
CCDSIM = BUILD / "ccdsim"

HINT = "\nTry running 'ccdshot -help'\n"
FITS_BLOCK = 2880


def programs_missing():
    for program in (CCDSHOT, CCDSIM):
        if not os.access(program, os.X_OK):
            return f"{program} is not built"
    return None


def fuse_missing():
    """Why a simulated camera cannot be mounted here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is absent (no FUSE in this machine)"
    if shutil.which("fusermount3") is None:
        return "fusermount3 is absent (package fuse3)"
    return None


class Simulator:
    """One mounted ccdsim in a directory of its own."""

    def __init__(self, options, world=False):
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="ccdsim-hardening-"))
        if world:
            self.base.chmod(0o755)
        self.mount = self.base / "mnt"
        self.mount.mkdir()
        self.log = self.base / "messages.log"
        self.ready = self.base / "ready"
        self.output = self.base / "ccdsim.out"
        argv = [str(CCDSIM), f"--log={self.log}", f"--ready={self.ready}", *options]
        if world:
            argv.append("--allow-other")
        argv.append(str(self.mount))
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not self.ready.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                text = self.output.read_text(errors="replace")
                self.stop()
                pytest.fail(f"ccdsim could not mount on {self.mount}: {text}")
            time.sleep(0.02)
        self.device = str(self.mount / "ccda")

    def messages(self):
        if not self.log.exists():
            return []
        return [line.strip().replace(" ", "") for line in self.log.read_text().splitlines() if line.strip()]

    def exposures(self):
        """The MSG_EXPOSE messages received (hex)."""
        return [m for m in self.messages() if len(m) == 56 and m[12:16] == "0102"]

    def kill(self):
        """SIGKILL: the server dies with its mount in place; the kernel
        fails every pending and later request of the device."""
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            subprocess.run(["fusermount3", "-u", str(self.mount)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if os.path.ismount(self.mount) or self.process.returncode == -signal.SIGKILL:
            # A dead server leaves its mount behind: detach it lazily.
            subprocess.run(["fusermount3", "-u", "-z", str(self.mount)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.base, ignore_errors=True)


@dataclasses.dataclass
class Run:
    status: int  # exit status; negative: the signal that ended it
    out: str
    err: str
    fd3: str


def start(args, cwd, *, prefix=(), env=None):
    """Starts ccdshot with descriptor 3 on a capture file; returns (process,
    capture) for finish()."""
    capture = tempfile.TemporaryFile()

    def place_fd3():
        # dup2 onto itself would keep the close-on-exec flag.
        if capture.fileno() == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(capture.fileno(), 3)

    # No TIFF_* variable of the caller's reaches the program unless given.
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("TIFF_")}
    full_env.update(env or {})
    process = subprocess.Popen([*prefix, str(CCDSHOT), *map(str, args)], cwd=cwd, env=full_env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, preexec_fn=place_fd3, close_fds=False)
    return process, capture


def finish(process, capture, timeout=60):
    out, err = process.communicate(timeout=timeout)
    capture.seek(0)
    fd3 = capture.read().decode(errors="replace")
    capture.close()
    return Run(process.returncode, out.decode(errors="replace"), err.decode(errors="replace"), fd3)


def run(args, cwd, **options):
    timeout = options.pop("timeout", 60)
    return finish(*start(args, cwd, **options), timeout=timeout)


def ramp(x, y, exposure_ms):
    return (x * 37 + y * 101 + exposure_ms) & 0xFFFF


def fits_rows(width, rows, exposure_ms):
    """The data the FITS writer stores for the first rows of an unbinned ramp
    image: each row mirrored, big-endian, offset by -32768."""
    data = bytearray()
    for y in range(rows):
        for x in reversed(range(width)):
            data += ((ramp(x, y, exposure_ms) - 32768) & 0xFFFF).to_bytes(2, "big")
    return bytes(data)


def tiff_strip_rows(width, height):
    """Rows per strip of the TIFF writer: strips of about 64 KiB."""
    strips = max(width * height * 2 // 65536, 1)
    return max(height // strips, 1)
