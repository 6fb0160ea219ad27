"""Helpers of the hardening tests: the built programs, a mounted ccdsim that
can be stopped, killed or lazily unmounted, a runner of ccdshot, and the
expected contents of partly written images.

The build tree comes from CCDSHOT_BINARY_DIR (CTest sets it), else the
source tree's build/ directory.
"""
import dataclasses
import os
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "common"))
import simulator  # noqa: E402
from simulator import fuse_missing, preload_environment  # noqa: E402,F401

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = pathlib.Path(os.environ.get("CCDSHOT_SOURCE_DIR", HERE.parent.parent)).resolve()
BUILD = pathlib.Path(os.environ.get("CCDSHOT_BINARY_DIR", SOURCE / "build")).resolve()
CCDSHOT = BUILD / "ccdshot"
CCDSIM = BUILD / "ccdsim"
FAULTFS = BUILD / "tests" / "faultfs" / "faultfs"
# Preloaded: standard output line-buffered whatever it is.
STDOUT_LINES = BUILD / "tests" / "support" / "stdout_lines.so"

HINT = "\nTry running 'ccdshot -help'\n"
FITS_BLOCK = 2880


def programs_missing():
    for program in (CCDSHOT, CCDSIM, FAULTFS):
        if not os.access(program, os.X_OK):
            return f"{program} is not built"
    return None


class Simulator(simulator.Simulator):
    """One mounted ccdsim of the build tree under test."""

    def __init__(self, options, world=False):
        super().__init__(CCDSIM, options, world=world, prefix="ccdsim-hardening-")


class FaultFs(simulator.Simulator):
    """One mounted faultfs (tests/faultfs): files held in memory whose syncs
    or closes, or the directory's syncs, fail with the options given;
    events() are its log's lines."""

    def __init__(self, options):
        super().__init__(FAULTFS, options, prefix="faultfs-hardening-")

    def events(self):
        """What faultfs served (and what others appended to its log), in order."""
        return self.log.read_text().splitlines()


@dataclasses.dataclass
class Run:
    status: int  # exit status; negative: the signal that ended it
    out: str
    err: str
    fd3: str


def start(args, cwd, *, prefix=(), env=None, stdout=subprocess.PIPE):
    """Starts ccdshot with descriptor 3 on a capture file (and standard output
    captured, unless stdout is an open file to send it to); returns (process, capture) for
    finish()."""
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
                               stdin=subprocess.DEVNULL, stdout=stdout,
                               stderr=subprocess.PIPE, preexec_fn=place_fd3, close_fds=False)
    return process, capture


def finish(process, capture, timeout=60):
    out, err = process.communicate(timeout=timeout)
    capture.seek(0)
    fd3 = capture.read().decode(errors="replace")
    capture.close()
    return Run(process.returncode, (out or b"").decode(errors="replace"), err.decode(errors="replace"), fd3)


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
