"""Helpers of the end-to-end tests: a mounted simulated camera, its message
log, and a runner of the built programs with descriptor 3 under control."""
import dataclasses
import os
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "common"))
import simulator  # noqa: E402
from simulator import decode_expose, fuse_missing, preload_environment  # noqa: E402,F401


class Simulator(simulator.Simulator):
    """One mounted ccdsim of the build tree under test."""

    def __init__(self, tree, options, world=False):
        super().__init__(tree.ccdsim, options, world=world, prefix="ccdsim-e2e-")


@dataclasses.dataclass
class Run:
    status: int
    out: str
    err: str
    fd3: str


def run(program, args, *, fd3="file", cwd=None, env=None, prefix=(), timeout=60):
    """Runs program with args; fd3 is "file" (captured, the default), "closed", "readonly"
    or an open descriptor to place on 3. Returns status (negative: signal),
    standard output, standard error and what reached a captured descriptor 3."""
    with tempfile.TemporaryFile() as capture, open(os.devnull, "rb") as devnull:
        if fd3 == "file":
            source = capture.fileno()
        elif fd3 == "readonly":
            source = devnull.fileno()
        elif isinstance(fd3, int):
            source = fd3
        else:
            source = None

        def place_fd3():
            if source is None:
                try:
                    os.close(3)
                except OSError:
                    pass
            elif source == 3:
                os.set_inheritable(3, True)
            else:
                os.dup2(source, 3)  # inheritable, unlike Python's own descriptors

        full_env = dict(os.environ)
        full_env.update(env or {})
        proc = subprocess.run([*prefix, str(program), *args], cwd=cwd, env=full_env,
                              stdin=subprocess.DEVNULL, capture_output=True,
                              preexec_fn=place_fd3, close_fds=False, timeout=timeout)
        capture.seek(0)
        return Run(proc.returncode, proc.stdout.decode(errors="replace"),
                   proc.stderr.decode(errors="replace"),
                   capture.read().decode(errors="replace"))
