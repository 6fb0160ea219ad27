"""Bad command lines at scale: a few thousand generated argument vectors
(option names whole, abbreviated, misspelt and in either case, values good
and bad, positional words, output names of every kind) run against the built
ccdshot and a small simulated camera. Every run must end with a status of 0,
1, 2, 3 or 6, or with an error number for the output file, never by a
signal, and with the messages that go with its status.

Reproducible: HARDENING_SEED (default below) seeds the generator and
HARDENING_RUNS sets the number of vectors; a failure names the vector.
Exposure times stay under two seconds (no countdown wait) and every
autoexposure limit is short, so the whole run takes about a minute.
"""
import concurrent.futures
import errno
import os
import random
import shutil
import subprocess
import tempfile

import pytest

import harness
from harness import HINT, Simulator

SEED = int(os.environ.get("HARDENING_SEED", "20050910"))
RUNS = int(os.environ.get("HARDENING_RUNS", "6000"))
WORKERS = max(2, 2 * (os.cpu_count() or 1))
TIMEOUT = 30

OPTIONS = ["autoexpose", "binning", "bin", "offset", "origin", "size", "dark", "nowipe", "noclear",
           "noaccumulation", "tdi", "TDI", "tiff", "TIFF", "FITS", "fits", "JPEG", "jpeg", "camera",
           "debug", "help"]
WITH_VALUE = {"binning", "bin", "offset", "origin", "size", "camera"}
OPTIONAL_VALUE = {"autoexpose", "tiff", "TIFF", "debug"}

# Exposure words: short, refused, or malformed; none asks for two seconds or more.
GOOD_EXPOSURES = ["0.001", "0.002", "0.005", "0.01", ".005", "5e-3", "+0.003", "1e-3", "1.999", " 0.004"]
BAD_EXPOSURES = ["0", "0.0005", "-1", "nan", "inf", "-inf", "2147483.648", "1e999", "1e-999", "0x1p-10",
                 "1.5s", "", " ", "abc", "0.01x"]
# Autoexposure durations, all short or refused (a bare -autoexpose would mean 300 s).
GOOD_AUTO = ["0.003", "0.005", "0.01", "0.005,40000", "0.005,0x10", "0.004,1000", "0.006,-1"]
BAD_AUTO = ["0.002", "0.001", "0", "-0.005", "nan", "x", "", "0.004,", "0.005,1x", "0.01,,", "0.005;"]
GOOD_INTEGERS = ["0", "1", "2", "3", "4", "+2", "010", "0x2", "02", " 3", "16", "40", "0x20"]
BAD_INTEGERS = ["5", "-1", "08", "2147483647", "2147483648", "-2147483649", "99999999999", "", " ", "x",
                "1.5", ".5", "0x", "1e3", "64", "100"]
SEPARATORS = ["x", ",", ":", " ", "xx", ", ", "", "x.", "-", "+"]
DEBUG_VALUES = ["", "0", "1", "2", "255", "256", "-1", "x", "2x"]
TIFF_VALUES = ["", "deflate", "d", "Dxyz", "none", "lzw"]
STANDALONE = ["0", "1", "2", "-", "--", "x", "3", "-1", "0.5"]


def good(rng, good_values, bad_values, bad_share=0.15):
    return rng.choice(bad_values if rng.random() < bad_share else good_values)


def option_name(rng, name):
    """The name as typed: whole, a prefix (maybe ambiguous), misspelt or in
    another case, with one or two dashes."""
    choice = rng.random()
    if choice < 0.75:
        typed = name
    elif choice < 0.9:
        typed = name[:rng.randint(1, len(name))]
    elif choice < 0.95:
        typed = name.swapcase() if rng.random() < 0.5 else name.capitalize()
    else:
        at = rng.randrange(len(name))
        typed = name[:at] + rng.choice("aeiouxz-=") + name[at + 1:]
    return rng.choice(["-", "-", "--"]) + typed


def pair(rng):
    first = good(rng, GOOD_INTEGERS, BAD_INTEGERS)
    if rng.random() < 0.4:
        return first
    return (first + rng.choice(SEPARATORS) + good(rng, GOOD_INTEGERS, BAD_INTEGERS)
            + (rng.choice(["x4", "junk", ".5"]) if rng.random() < 0.1 else ""))


def option_words(rng, device, directory):
    name = rng.choice(OPTIONS)
    typed = option_name(rng, name)
    if name == "autoexpose":
        # Always with a short or refused duration.
        return [typed.split("=")[0] + "=" + good(rng, GOOD_AUTO, BAD_AUTO)]
    if name in ("binning", "bin", "offset", "origin", "size"):
        value = pair(rng)
    elif name == "camera":
        value = rng.choice([device] * 6 + ["", "/nonexistent/ccdb", directory, "/dev/null",
                                            device + "x" * 70])
    elif name == "debug":
        value = rng.choice(DEBUG_VALUES)
    elif name in ("tiff", "TIFF"):
        value = rng.choice(TIFF_VALUES)
    else:
        value = None
    if name == "help" and rng.random() < 0.7:
        return []  # keep -help rare: it ends the run before anything else
    if value is None:
        # A value for a flag is refused by the parser.
        return [typed + "=1"] if rng.random() < 0.1 else [typed]
    if name in WITH_VALUE and rng.random() < 0.4:
        return [typed, value]  # the value as the next word
    if name in OPTIONAL_VALUE and value == "" and rng.random() < 0.5:
        return [typed]
    return [typed + "=" + value]


def output_name(rng, directory):
    return rng.choice(["a.tif", "b.fits", "c.FIT", "d.jpg", "e.TIFF", "noext", "f.png", "dir.f/x",
                       "missing/x.tif", ".", "sub", "sub/x.fits", "/dev/full", "/dev/null",
                       "x" * 300, "exists.tif", os.path.join(directory, "abs.fts")])


def command_line(rng, device, directory):
    words = []
    for _ in range(rng.randint(0, 4)):
        words += option_words(rng, device, directory)
    positional = []
    if rng.random() < 0.95:
        positional.append(good(rng, GOOD_EXPOSURES, BAD_EXPOSURES, 0.2))
    if rng.random() < 0.95:
        positional.append(output_name(rng, directory))
    if rng.random() < 0.1:
        positional.append(rng.choice(STANDALONE))
    # Options before, between and after the positional words, which keep
    # their order (mostly: getopt permutes only options).
    if rng.random() < 0.05:
        positional.reverse()
    at = 0
    for word in positional:
        at = rng.randint(at, len(words))
        words.insert(at, word)
        at += 1
    if rng.random() < 0.05:
        words.insert(rng.randint(0, len(words)), "--")
    if rng.random() < 0.1:
        words.append(rng.choice(STANDALONE))
    if not any(w.startswith("-cam") or w.startswith("--cam") or w == device for w in words) and rng.random() < 0.9:
        words.insert(0, f"-camera={device}")
    return words


def prepare(directory):
    os.makedirs(os.path.join(directory, "sub"), exist_ok=True)
    os.makedirs(os.path.join(directory, "dir.f"), exist_ok=True)
    with open(os.path.join(directory, "exists.tif"), "wb") as f:
        f.write(b"old")


def check(args, status, out, err):
    """Why this outcome is wrong, or None."""
    if status < 0:
        return f"killed by signal {-status}"
    if status == 0:
        if out.startswith("ccdshot revised 10/9/05 "):
            return None if err == "" else "help with messages on standard error"
        if not out.endswith(" Upload Complete\n"):
            return "status 0 without the completion line"
        return None
    if status == 3:
        return None if err.endswith(HINT) else "status 3 without the hint at the end of standard error"
    if status == 1 and err.endswith("\n") and "Cannot open camera device: " in err.splitlines()[-1]:
        return None
    if status == 2 and (err.endswith(" image write failed!\n")):
        return None
    if status == 6 and err.endswith("Autoexposure calibration failed!\n"):
        return None
    # The output file could not be created: the path and the system's text
    # (perror: an empty path gives the text alone).
    text = os.strerror(status)
    if status in errno.errorcode and any(err == (f"{word}: " if word else "") + f"{text}\n" for word in args):
        return None
    return f"status {status} with standard error {err!r}"


def run_batch(vectors, device, directory):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TIFF_")}
    failures = []
    counts = {}
    for index, args in vectors:
        try:
            done = subprocess.run([str(harness.CCDSHOT), *args], cwd=directory, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=TIMEOUT, env=env)
        except subprocess.TimeoutExpired:
            failures.append((index, args, f"no end within {TIMEOUT} s"))
            continue
        out = done.stdout.decode(errors="replace")
        err = done.stderr.decode(errors="replace")
        counts[done.returncode] = counts.get(done.returncode, 0) + 1
        reason = check(args, done.returncode, out, err)
        if reason is not None:
            failures.append((index, args, f"{reason}\nstdout: {out!r}\nstderr: {err!r}"))
    return failures, counts


def test_generated_command_lines_end_with_a_known_status():
    reason = harness.programs_missing()
    if reason is not None:
        pytest.fail(reason)
    reason = harness.fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    rng = random.Random(SEED)
    sims = []
    directories = []
    try:
        for _ in range(WORKERS):
            sims.append(Simulator(["--width=64", "--height=48", "--time-scale=0", "--pattern=ramp"]))
            directories.append(tempfile.mkdtemp(prefix="ccdshot-hardening-argv-"))
            prepare(directories[-1])
        # Generated up front, in order, so that the seed alone fixes every vector.
        vectors = [(i, command_line(rng, "@DEVICE@", "@DIR@")) for i in range(RUNS)]
        batches = [[] for _ in range(WORKERS)]
        for index, args in vectors:
            worker = index % WORKERS
            batches[worker].append((index, [a.replace("@DEVICE@", sims[worker].device)
                                            .replace("@DIR@", directories[worker]) for a in args]))
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            results = list(pool.map(run_batch, batches, [s.device for s in sims], directories))
    finally:
        for sim in sims:
            sim.stop()
        for directory in directories:
            shutil.rmtree(directory, ignore_errors=True)
    failures = [f for batch, _ in results for f in batch]
    counts = {}
    for _, batch_counts in results:
        for status, n in batch_counts.items():
            counts[status] = counts.get(status, 0) + n
    print(f"seed {SEED}, {RUNS} command lines; runs by status: {dict(sorted(counts.items()))}")
    assert not failures, "\n\n".join(f"vector {i} (seed {SEED}): {a!r}\n{why}" for i, a, why in failures[:10])
    # The generator reaches every way a run ends.
    for status in (0, 1, 2, 3):
        assert counts.get(status, 0) > 0, f"no run ended with status {status}"
