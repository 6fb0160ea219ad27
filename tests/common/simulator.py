"""What the end-to-end and hardening tests share: whether FUSE is usable, a
mounted ccdsim in a directory of its own (its device path, its message log,
its shutdown, its death), the decoding of a logged exposure message, and the
hook that reports a run whose every case skipped as skipped to CTest."""
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

# Exit status CTest is told to count as "skipped" (SKIP_RETURN_CODE).
ALL_SKIPPED_STATUS = 77


def fuse_missing():
    """Why a simulated camera cannot be mounted here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is absent (no FUSE in this machine)"
    if shutil.which("fusermount3") is None:
        return "fusermount3 is absent (package fuse3)"
    return None


def elf_machine(path):
    """The processor an ELF file is for (its e_machine), or None if it is not ELF."""
    with open(path, "rb") as stream:
        head = stream.read(20)
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")


def emulated(program):
    """Whether program is built for another processor than this machine's, so
    that it runs through an emulator (qemu registered with binfmt_misc)."""
    return elf_machine(program) != elf_machine("/proc/self/exe")


def preload_environment(program, library):
    """Environment entries that preload library into program. Under emulation
    LD_PRELOAD is handed to the emulated program only (qemu's QEMU_SET_ENV):
    the emulator is a program of this machine, which cannot load the
    target's library. AddressSanitizer is told not to insist on being loaded
    first."""
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    if emulated(program):
        return {"QEMU_SET_ENV": f"LD_PRELOAD={library}", "ASAN_OPTIONS": asan}
    return {"LD_PRELOAD": str(library), "ASAN_OPTIONS": asan}


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
    """One mounted ccdsim: the device path, its message log, its shutdown.
    (Another FUSE server taking --log= and --ready= mounts the same way.)"""

    def __init__(self, program, options, world=False, prefix="ccdsim-test-"):
        # The mount lives in a directory of its own under /tmp, open to every
        # user when the device is to be used by another user.
        self.base = pathlib.Path(tempfile.mkdtemp(prefix=prefix))
        if world:
            self.base.chmod(0o755)
        self.mount = self.base / "mnt"
        self.mount.mkdir()
        self.log = self.base / "messages.log"
        self.ready = self.base / "ready"
        self.output = self.base / "ccdsim.out"
        argv = [str(program), f"--log={self.log}", f"--ready={self.ready}", *options]
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
                pytest.fail(f"{pathlib.Path(program).name} could not mount on {self.mount} "
                            f"(status {self.process.returncode}):\n{text}")
            time.sleep(0.02)
        self.device = str(self.mount / "ccda")

    def messages(self):
        """Every message the simulator received, as hex without blanks, one per write."""
        if not self.log.exists():
            return []
        return [line.strip().replace(" ", "") for line in self.log.read_text().splitlines()
                if line.strip()]

    def exposures(self):
        """The MSG_EXPOSE messages received, decoded."""
        return [e for e in map(decode_expose, self.messages()) if e is not None]

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
                self.process.send_signal(signal.SIGTERM)
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


def report_all_skipped(session, exitstatus):
    """pytest_sessionfinish body: a run in which every case skipped (no FUSE,
    say) shows as skipped in CTest instead of passing silently."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is None or exitstatus != 0:
        return
    stats = reporter.stats
    if stats.get("skipped") and not stats.get("passed") and not stats.get("failed"):
        session.exitstatus = ALL_SKIPPED_STATUS
