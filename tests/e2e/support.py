"""Helpers of the end-to-end tests: a mounted simulated camera, its message
log, and a runner of the built programs with descriptor 3 under control."""
import dataclasses
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest


def fuse_missing():
    """Why a simulated camera cannot be mounted here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is absent (no FUSE in this machine)"
    if shutil.which("fusermount3") is None:
        return "fusermount3 is absent (package fuse3)"
    return None


def decode_expose(line):
    """The fields of a logged MSG_EXPOSE (hex bytes), or None for other messages."""
    data = bytes.fromhex(line)
    if len(data) != 28 or data[6:8] != b"\x01\x02":
        return None
    u16 = [int.from_bytes(data[i:i + 2], "little") for i in range(8, 28, 2)]
    return {"width": u16[0], "height": u16[1], "x_origin": u16[2], "y_origin": u16[3],
            "x_bin": u16[4], "y_bin": u16[5], "depth": u16[6], "flags": u16[7],
            "exposure_ms": u16[8] | u16[9] << 16}


class Simulator:
    """One mounted ccdsim: the device path, its message log, its shutdown."""

    def __init__(self, tree, options, world=False):
        # The mount lives in a directory of its own under /tmp, open to every
        # user when the device is to be used by another user.
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="ccdsim-e2e-"))
        if world:
            self.base.chmod(0o755)
        self.mount = self.base / "mnt"
        self.mount.mkdir()
        self.log = self.base / "messages.log"
        self.ready = self.base / "ready"
        self.output = self.base / "ccdsim.out"
        argv = [str(tree.ccdsim), f"--log={self.log}", f"--ready={self.ready}", *options]
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
                pytest.fail(f"ccdsim could not mount on {self.mount} "
                            f"(status {self.process.returncode}):\n{text}")
            time.sleep(0.02)
        self.device = str(self.mount / "ccda")

    def messages(self):
        """Every message the simulator received, as hex lines."""
        if not self.log.exists():
            return []
        return [line.strip() for line in self.log.read_text().splitlines() if line.strip()]

    def exposures(self):
        return [e for e in map(decode_expose, self.messages()) if e is not None]

    def stop(self):
        if self.process.poll() is None:
            subprocess.run(["fusermount3", "-u", str(self.mount)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.send_signal(signal.SIGTERM)
                try:
                    self.process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
        if os.path.ismount(self.mount):
            subprocess.run(["fusermount3", "-uz", str(self.mount)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.base, ignore_errors=True)


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
