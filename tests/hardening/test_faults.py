"""Faults through the real device interface: the built ccdshot against a
mounted ccdsim with each of its faults, a simulator that dies or stops in
the middle of an image, a camera another run holds, and outputs that cannot
be written (a full device, a full file system, a read-only file system, a
directory the user may not write, storage that fails only on the sync or the
close, or on the sync of the directory). Each case asserts the exit status, the exact messages and what is
left on disk."""
import os
import pwd
import shutil
import subprocess
import tempfile
import time

import pytest

import harness
from harness import (CCDSHOT, FITS_BLOCK, STDOUT_LINES, FaultFs, Simulator, finish, fits_rows, preload_environment, run,
                     start, tiff_strip_rows)

WIDTH, HEIGHT = 100, 50
EXPOSURE_MS = 10  # the exposure word below
CAMERA_LINE = f"CCDSIM: {WIDTH}x{HEIGHT} pixel 16-bit CCD camera\n"
EXPOSING_LINE = f"Exposing {WIDTH}x{HEIGHT} pixel 16-bit image for 0.01 seconds\n"
ROW_BYTES = WIDTH * 2
TIFF_HEADER = b"II*\x00"
QUERY = "ddcc080000000101"
LEGACY_DEFLATE_WARNING = ("TIFFWriteDirectorySec: Warning, Creating TIFF with legacy Deflate codec identifier, "
                          "COMPRESSION_ADOBE_DEFLATE is more widely supported.\n")


@pytest.fixture(autouse=True)
def needs_programs():
    reason = harness.programs_missing()
    if reason is not None:
        pytest.fail(reason)


@pytest.fixture
def start_sim():
    reason = harness.fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    started = []

    def start_one(*options, world=False, width=WIDTH, height=HEIGHT, time_scale=0):
        sim = Simulator([f"--width={width}", f"--height={height}", "--pattern=ramp",
                         f"--time-scale={time_scale}", *options], world=world)
        started.append(sim)
        return sim

    yield start_one
    for sim in started:
        sim.stop()


def check_partial_file(path, kind, rows_read, width=WIDTH, height=HEIGHT, exposure_ms=EXPOSURE_MS):
    """The file a failed readout leaves: the FITS header block and every row
    read before the failure, or a TIFF header and only whole strips."""
    data = open(path, "rb").read()
    if kind == "fits":
        assert len(data) == FITS_BLOCK + rows_read * width * 2
        assert data.startswith(b"SIMPLE  =                    T")
        assert data[FITS_BLOCK:] == fits_rows(width, rows_read, exposure_ms)
    else:
        assert data[:4] == TIFF_HEADER
        strip_bytes = tiff_strip_rows(width, height) * width * 2
        assert (len(data) - 8) % strip_bytes == 0
        assert (len(data) - 8) // strip_bytes * tiff_strip_rows(width, height) <= rows_read


@pytest.mark.parametrize("fault, reason", [
    ("--fault-short-query-reply=1", "CCD message length wrong: 91\n"),
    ("--fault-short-query-reply=92", "CCD message length wrong: 0\n"),
    ("--fault-fail-query-read", "CCD message length wrong: -1\n"),
    ("--fault-reply-type=0x1002", "Wrong message returned from query: 0x1002"),
    ("--fault-reply-type=0x0110", "Wrong message returned from query: 0x0110"),
])
def test_query_faults_end_with_status_1_before_the_file(start_sim, tmp_path, fault, reason):
    sim = start_sim(fault)
    result = run([f"-camera={sim.device}", "0.01", "x.tif"], tmp_path)
    assert (result.status, result.out, result.fd3) == (1, "", "")
    assert result.err == reason + f"Cannot open camera device: {sim.device}\n"
    assert not (tmp_path / "x.tif").exists()
    assert sim.exposures() == []


def test_second_run_on_a_busy_camera_sends_nothing(start_sim, tmp_path):
    # Started together: the run that locks the camera first holds it through
    # its one-second exposure, and the other one finds it taken.
    sim = start_sim(time_scale=1)
    started = {name: start([f"-camera={sim.device}", "1", name], tmp_path) for name in ("a.fits", "b.fits")}
    results = {name: finish(*run_of) for name, run_of in started.items()}
    assert sorted(r.status for r in results.values()) == [0, 1], results
    winner, loser = sorted(results, key=lambda name: results[name].status)
    assert (results[loser].out, results[loser].fd3) == ("", "")
    assert results[loser].err == (f"{sim.device}: camera in use by another process\n"
                                  f"Cannot open camera device: {sim.device}\n")
    assert not (tmp_path / loser).exists()
    assert results[winner].err == ""
    assert results[winner].out == (CAMERA_LINE + f"Exposing {WIDTH}x{HEIGHT} pixel 16-bit image for 1 seconds\n"
                                   + f"{winner}: FITS Upload Complete\n")
    data = (tmp_path / winner).read_bytes()
    assert len(data) == 14400
    assert data[FITS_BLOCK:FITS_BLOCK + HEIGHT * ROW_BYTES] == fits_rows(WIDTH, HEIGHT, 1000)
    # The camera heard one run only.
    assert sim.messages().count(QUERY) == 1
    assert len(sim.exposures()) == 1


def test_device_that_refuses_locks_is_used_without_one(start_sim, tmp_path):
    sim = start_sim("--refuse-locks")
    result = run([f"-camera={sim.device}", "0.01", "x.fits"], tmp_path)
    assert (result.status, result.err) == (0, "")
    assert result.out == CAMERA_LINE + EXPOSING_LINE + "x.fits: FITS Upload Complete\n"


# (fault, the readout's message, rows read before it)
IMAGE_FAULTS = [
    ("--fault-image-type=0x2002", "Invalid (driver) image message!", 0),
    ("--fault-image-type=0x1001", "Invalid (driver) image message!", 0),
    ("--fault-image-length=1", "Image size discrepency! Read 10009, expected 10008\n", 0),
    ("--fault-image-length=-1", "Image size discrepency! Read 10007, expected 10008\n", 0),
    ("--fault-image-length=-10008", "Image size discrepency! Read 0, expected 10008\n", 0),
    ("--fault-short-header=1", "Error reading exposure:Input/output error\n", 0),
    ("--fault-short-header=8", "Error reading exposure:Input/output error\n", 0),
    ("--fault-fail-header-read", "Error reading exposure:Input/output error\n", 0),
    ("--fault-truncate-row=1", "Truncated image read!", 0),
    ("--fault-truncate-row=3", "Truncated image read!", 2),
    ("--fault-truncate-row=50,199", "Truncated image read!", 49),
    ("--fault-truncate-row=7,200", "Truncated image read!", 6),
    ("--fault-fail-row=1", "Failure while reading image!", 0),
    ("--fault-fail-row=3", "Failure while reading image!", 2),
    ("--fault-fail-row=50", "Failure while reading image!", 49),
]


@pytest.mark.parametrize("kind", ["tif", "fits"])
@pytest.mark.parametrize("fault, reason, rows_read", IMAGE_FAULTS)
def test_image_faults_end_with_status_2_and_keep_the_partial_file(start_sim, tmp_path, kind, fault,
                                                                  reason, rows_read):
    sim = start_sim(fault)
    name = f"x.{kind}"
    result = run([f"-camera={sim.device}", "0.01", name], tmp_path)
    type_name = "FITS" if kind == "fits" else "TIFF"
    assert result.status == 2
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == f"{reason}\n{type_name} image write failed!\n"
    # The upload line appears once the first row has come in.
    assert result.fd3 == ("\r  0% Uploaded        \r" if rows_read > 0 else "\r")
    assert len(sim.exposures()) == 1
    check_partial_file(tmp_path / name, kind, rows_read)


@pytest.mark.parametrize("kind", ["tif", "fits"])
@pytest.mark.parametrize("ending", ["killed", "stopped"])
def test_device_that_stalls_then_goes_away_mid_image(start_sim, tmp_path, kind, ending):
    # The device stops answering at row 20: the program waits in its read
    # (the system has no time-out of its own) without spinning, and fails
    # the read once the simulator is killed (SIGKILL: the kernel aborts the
    # mount) or stopped (it fails its pending reads with EIO).
    sim = start_sim("--fault-stall-row=20")
    name = f"x.{kind}"
    process, capture = start([f"-camera={sim.device}", "0.01", name], tmp_path)
    deadline = time.monotonic() + 10
    fits_size = FITS_BLOCK + 19 * ROW_BYTES
    path = tmp_path / name
    while kind == "fits" and time.monotonic() < deadline and (
            not path.exists() or path.stat().st_size < fits_size):
        time.sleep(0.05)
    time.sleep(0.5)
    assert process.poll() is None, "the program did not wait for the stalled device"
    with open(f"/proc/{process.pid}/stat") as stat:
        assert stat.read().rsplit(")", 1)[1].split()[0] == "S"  # asleep in the read
    if ending == "killed":
        sim.kill()
    else:
        sim.process.terminate()
        sim.process.wait(timeout=10)
    result = finish(process, capture, timeout=20)
    type_name = "FITS" if kind == "fits" else "TIFF"
    assert result.status == 2
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == f"Failure while reading image!\n{type_name} image write failed!\n"
    assert result.fd3 == "\r  0% Uploaded        \r"
    check_partial_file(tmp_path / name, kind, 19)


@pytest.mark.parametrize("kind", ["tif", "fits"])
def test_simulator_killed_while_the_program_waits_for_the_image(start_sim, tmp_path, kind):
    # A 3-second exposure on the simulator's clock: the countdown ends about
    # a second before the image is ready, and the program waits for the
    # image header when the simulator dies.
    sim = start_sim(time_scale=1)
    name = f"x.{kind}"
    process, capture = start([f"-camera={sim.device}", "3", name], tmp_path)
    time.sleep(2.4)
    assert process.poll() is None
    sim.kill()
    result = finish(process, capture, timeout=20)
    type_name = "FITS" if kind == "fits" else "TIFF"
    assert result.status == 2
    assert result.out == CAMERA_LINE + f"Exposing {WIDTH}x{HEIGHT} pixel 16-bit image for 3 seconds\n"
    assert result.err == (f"Error reading exposure:Software caused connection abort\n"
                          f"\n{type_name} image write failed!\n")
    assert result.fd3 == "3 seconds remaining\r2 \r\r"
    check_partial_file(tmp_path / name, kind, 0)


@pytest.mark.parametrize("args, message", [
    (["0.01"], "/dev/full: Error writing TIFF header.\n\nTIFF image write failed!\n"),
    (["-tiff=deflate", "0.01"], "/dev/full: Error writing TIFF header.\n\nTIFF image write failed!\n"),
    (["-fits", "0.01"], "\nFITS image write failed!\n"),
])
def test_output_on_a_full_device(start_sim, tmp_path, args, message):
    sim = start_sim()
    result = run([f"-camera={sim.device}", *args, "/dev/full"], tmp_path)
    assert result.status == 2
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == message
    # The header cannot be written, so no row is read.
    assert result.fd3 == ""


@pytest.mark.parametrize("output", ["/dev/null", "pipe"])
def test_fits_on_an_output_that_has_nothing_to_sync(start_sim, tmp_path, output):
    # /dev/null and a pipe refuse the sync as unsupported: there is no data,
    # and no directory entry, to make durable. The pipe is named through
    # /dev/fd, a link to no file of any directory.
    sim = start_sim()
    pipe = None
    if output == "pipe":
        pipe = os.pipe()  # the whole file fits in the pipe's buffer
        os.set_inheritable(pipe[1], True)
        output = f"/dev/fd/{pipe[1]}"
    try:
        result = run([f"-camera={sim.device}", "-fits", "0.01", output], tmp_path)
    finally:
        if pipe is not None:
            os.close(pipe[1])
    assert (result.status, result.err) == (0, "")
    assert result.out == CAMERA_LINE + EXPOSING_LINE + f"{output}: FITS Upload Complete\n"
    if pipe is not None:
        with os.fdopen(pipe[0], "rb") as received:
            data = received.read()
        assert data[FITS_BLOCK:FITS_BLOCK + HEIGHT * ROW_BYTES] == fits_rows(WIDTH, HEIGHT, EXPOSURE_MS)
        assert len(data) == 5 * FITS_BLOCK


@pytest.fixture
def small_tmpfs():
    """A 1 MiB tmpfs, or a skip when mounting is not permitted."""
    if shutil.which("mount") is None:
        pytest.skip("mount is absent")
    directory = tempfile.mkdtemp(prefix="ccdshot-hardening-fs-")
    mounted = []

    def mount(*options):
        command = ["mount", "-t", "tmpfs", "-o", ",".join(("size=1m",) + options), "tmpfs", directory]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"mounting a tmpfs is not permitted here: {done.stderr.strip()}")
        mounted.append(directory)
        return directory

    yield mount
    for path in mounted:
        subprocess.run(["umount", path], capture_output=True)
    shutil.rmtree(directory, ignore_errors=True)


CAPACITY = 1 << 20
BIG_WIDTH, BIG_HEIGHT = 1000, 800  # 1.6 MB of pixels


@pytest.mark.parametrize("kind", ["tif", "fits"])
def test_large_frame_on_a_full_file_system(start_sim, small_tmpfs, kind):
    directory = small_tmpfs()
    sim = start_sim(width=BIG_WIDTH, height=BIG_HEIGHT)
    name = f"x.{kind}"
    result = run([f"-camera={sim.device}", "0.01", name], directory)
    row_bytes = BIG_WIDTH * 2
    if kind == "fits":
        message = "\nFITS image write failed!\n"
        # The row that does not fit is the last one read.
        rows_read = (CAPACITY - FITS_BLOCK) // row_bytes + 1
    else:
        # A strip is written when its last row is in: the strip that does
        # not fit fails with the number of its first row.
        rows_per_strip = tiff_strip_rows(BIG_WIDTH, BIG_HEIGHT)
        strips_that_fit = (CAPACITY - 8) // (rows_per_strip * row_bytes)
        failing_row = strips_that_fit * rows_per_strip
        message = f"TIFFAppendToStrip: Write error at scanline {failing_row}.\n\nTIFF image write failed!\n"
        rows_read = failing_row + rows_per_strip
    assert result.status == 2
    assert result.out == (f"CCDSIM: {BIG_WIDTH}x{BIG_HEIGHT} pixel 16-bit CCD camera\n"
                          f"Exposing {BIG_WIDTH}x{BIG_HEIGHT} pixel 16-bit image for 0.01 seconds\n")
    assert result.err == message
    progress = "\r  0% Uploaded        " + "".join(
        f"\r{row * 100 // BIG_HEIGHT:3d}%" for row in range(128, rows_read + 1, 128)) + "\r"
    assert result.fd3 == progress
    data = open(os.path.join(directory, name), "rb").read()
    assert len(data) == CAPACITY  # filled to the last byte, and kept
    if kind == "fits":
        assert data[FITS_BLOCK:] == fits_rows(BIG_WIDTH, rows_read, EXPOSURE_MS)[:CAPACITY - FITS_BLOCK]
    else:
        assert data[:4] == TIFF_HEADER


@pytest.mark.parametrize("height, env, message", [
    # 1000 x 526: 16 strips of 32 rows fit, the last strip of 14 rows,
    # written when the last row is in, does not.
    (526, {}, "TIFFAppendToStrip: Write error at scanline 512.\n"),
    # 1000 x 524: every strip fits, the directory with its long description does not.
    (524, {"TIFF_COMMENT": "c" * 1800}, "TIFFWriteDirectoryTagData: IO error writing tag data.\n"),
])
def test_tiff_whose_end_does_not_fit_fails(start_sim, small_tmpfs, height, env, message):
    directory = small_tmpfs()
    sim = start_sim(width=BIG_WIDTH, height=height)
    result = run([f"-camera={sim.device}", "0.01", "x.tif"], directory, env=env)
    assert result.status == 2
    assert result.out == (f"CCDSIM: {BIG_WIDTH}x{height} pixel 16-bit CCD camera\n"
                          f"Exposing {BIG_WIDTH}x{height} pixel 16-bit image for 0.01 seconds\n")
    assert result.err == message + "\nTIFF image write failed!\n"
    assert os.path.getsize(os.path.join(directory, "x.tif")) == CAPACITY


@pytest.fixture
def start_faultfs():
    reason = harness.fuse_missing()
    if reason is not None:
        pytest.skip(reason)
    started = []

    def start_one(*options):
        fs = FaultFs(list(options))
        started.append(fs)
        return fs

    yield start_one
    for fs in started:
        fs.stop()


# (options, output name, type name, what libtiff prints on standard error)
WRITERS = [
    (["-fits"], "x.fits", "FITS", ""),
    ([], "x.tif", "TIFF", ""),
    (["-tiff=deflate"], "x.tif", "TIFF", LEGACY_DEFLATE_WARNING),
]


@pytest.mark.parametrize("fault", ["--fail-fsync", "--fail-flush", "--fail-fsyncdir"])
@pytest.mark.parametrize("args, name, type_name, warning", WRITERS, ids=["fits", "tiff", "tiff-deflate"])
def test_storage_that_fails_on_the_sync_or_close_fails_the_run(start_sim, start_faultfs, tmp_path, fault, args,
                                                               name, type_name, warning):
    sim = start_sim()
    fs = start_faultfs(fault)
    result = run([f"-camera={sim.device}", *args, "0.01", fs.mount / name], tmp_path)
    assert result.status == 2
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == warning + f"\n{type_name} image write failed!\n"
    # The file stays as far as it was written.
    ends = [int(offset) + int(size) for event, path, offset, size in
            (line.split() for line in fs.events() if line.startswith("write ")) if path == "/" + name]
    assert os.path.getsize(fs.mount / name) == max(ends)


# A file system that cannot sync a directory (EINVAL) has done what it can.
# An output named through a link elsewhere has its entry in faultfs.
@pytest.mark.parametrize("options, link", [([], False), (["--refuse-fsyncdir"], False), ([], True)],
                         ids=["", "directory-sync-unsupported", "through-a-link"])
@pytest.mark.parametrize("args, name, type_name, warning", WRITERS, ids=["fits", "tiff", "tiff-deflate"])
def test_upload_complete_comes_after_the_sync_of_the_last_write(start_sim, start_faultfs, tmp_path, args, name,
                                                                type_name, warning, options, link):
    # Standard output, line-buffered, goes to the log that faultfs writes each
    # request to before answering it: the lines stand in the order of events.
    sim = start_sim()
    fs = start_faultfs(*options)
    path = fs.mount / name
    if link:
        path = tmp_path / ("link-" + name)
        path.symlink_to(fs.mount / name)
    env = preload_environment(CCDSHOT, STDOUT_LINES)
    with open(fs.log, "ab") as log:
        result = finish(*start([f"-camera={sim.device}", *args, "0.01", path], tmp_path, env=env, stdout=log))
    assert (result.status, result.err) == (0, warning)
    shape = []
    for line in fs.events():
        event = line.split()[0]
        if event == "release":
            continue  # the kernel sends it after the last close without waiting for it
        if event == "write":
            line = "write"
        elif event in ("fsync", "fdatasync"):
            line = "sync " + line.split()[1]
        if line == "write" and shape and shape[-1] == "write":
            continue  # one entry for each run of writes
        shape.append(line)
    # libtiff closes its duplicate of the descriptor, the writer the original.
    closes = 2 if type_name == "TIFF" else 1
    # The file's data, then the directory entry of the new file.
    assert shape == ([CAMERA_LINE.strip(), EXPOSING_LINE.strip(), "write", f"sync /{name}", "fsyncdir /"]
                     + [f"flush /{name}"] * closes + [f"{path}: {type_name} Upload Complete"])


def test_output_on_a_read_only_file_system(start_sim, small_tmpfs):
    directory = small_tmpfs("ro")
    sim = start_sim()
    result = run([f"-camera={sim.device}", "0.01", "x.fits"], directory)
    assert (result.status, result.out, result.err, result.fd3) == (
        30, CAMERA_LINE, "x.fits: Read-only file system\n", "")
    assert sim.exposures() == []


def as_nobody():
    if os.geteuid() != 0:
        pytest.skip("needs root to run the program as another user")
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is absent (package util-linux)")
    try:
        pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("there is no user nobody")
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


@pytest.mark.parametrize("target", ["directory", "existing file"])
def test_unwritable_output_for_another_user(start_sim, target):
    prefix = as_nobody()
    sim = start_sim(world=True)
    locked = tempfile.mkdtemp(prefix="ccdshot-hardening-locked-")
    try:
        os.chmod(locked, 0o755)  # root's: others may look, not write
        path = os.path.join(locked, "x.tif")
        if target == "existing file":
            with open(path, "wb") as existing:
                existing.write(b"keep")
            os.chmod(path, 0o644)
        result = run([f"-camera={sim.device}", "0.01", path], "/", prefix=prefix)
        assert (result.status, result.out, result.err, result.fd3) == (
            13, CAMERA_LINE, f"{path}: Permission denied\n", "")
        if target == "existing file":
            assert open(path, "rb").read() == b"keep"
        else:
            assert not os.path.exists(path)
        assert sim.exposures() == []
    finally:
        shutil.rmtree(locked, ignore_errors=True)


@pytest.mark.parametrize("kind", ["tif", "fits"])
def test_output_in_a_directory_the_user_may_not_read(start_sim, kind):
    # A drop box (write and search, no read): the directory cannot be opened
    # to sync it, so the file's whole file system is synced instead.
    prefix = as_nobody()
    sim = start_sim(world=True)
    drop_box = tempfile.mkdtemp(prefix="ccdshot-hardening-drop-")
    try:
        os.chmod(drop_box, 0o733)
        path = os.path.join(drop_box, f"x.{kind}")
        result = run([f"-camera={sim.device}", "0.01", path], "/", prefix=prefix)
        type_name = "FITS" if kind == "fits" else "TIFF"
        assert (result.status, result.err) == (0, "")
        assert result.out == CAMERA_LINE + EXPOSING_LINE + f"{path}: {type_name} Upload Complete\n"
        data = open(path, "rb").read()
        if kind == "fits":
            assert data[FITS_BLOCK:FITS_BLOCK + HEIGHT * ROW_BYTES] == fits_rows(WIDTH, HEIGHT, EXPOSURE_MS)
        else:
            assert data[:4] == TIFF_HEADER
    finally:
        shutil.rmtree(drop_box, ignore_errors=True)


@pytest.mark.parametrize("kind", ["tif", "fits"])
def test_progress_reader_gone_costs_only_the_progress(start_sim, tmp_path, kind):
    # Descriptor 3 is a pipe nobody reads any more: the progress writes fail
    # (no SIGPIPE death), the image is written whole.
    sim = start_sim()
    read_end, write_end = os.pipe()
    os.close(read_end)
    name = f"x.{kind}"
    try:
        def place_fd3():
            os.dup2(write_end, 3)

        done = subprocess.run([str(harness.CCDSHOT), f"-camera={sim.device}", "0.01", name], cwd=tmp_path,
                              capture_output=True, text=True, preexec_fn=place_fd3, close_fds=False,
                              timeout=60)
    finally:
        os.close(write_end)
    type_name = "FITS" if kind == "fits" else "TIFF"
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == CAMERA_LINE + EXPOSING_LINE + f"{name}: {type_name} Upload Complete\n"
    data = open(tmp_path / name, "rb").read()
    if kind == "fits":
        assert data[FITS_BLOCK:FITS_BLOCK + HEIGHT * ROW_BYTES] == fits_rows(WIDTH, HEIGHT, EXPOSURE_MS)
        assert len(data) % FITS_BLOCK == 0
    else:
        assert data[:4] == TIFF_HEADER
