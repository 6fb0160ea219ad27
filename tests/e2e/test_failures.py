"""Every way a run ends other than with an image: the status, the exact
messages on each stream, what the camera was sent and what stays on disk."""
import os
import shutil
import subprocess
import tempfile

import pytest

from support import run

HINT = "Try running 'ccdshot -help'\n"
CAMERA_LINE = "CCDSIM: 1000x800 pixel 16-bit CCD camera\n"
EXPOSING_LINE = "Exposing 1000x800 pixel 16-bit image for 0.5 seconds\n"
QUERY = "ddcc080000000101"


def test_no_arguments_stops_before_the_camera(shot, sim):
    result = shot()
    assert (result.status, result.out, result.err) == (3, "", "Missing Exposure Time\n" + HINT)
    # The same with a camera named: it is not even opened.
    result = shot(f"-camera={sim.device}")
    assert (result.status, result.out, result.err) == (3, "", "Missing Exposure Time\n" + HINT)
    assert sim.messages() == []


def test_missing_output_name_comes_after_the_camera_line(shot, sim):
    result = shot(f"-camera={sim.device}", "1")
    assert result.status == 3
    assert result.out == CAMERA_LINE
    assert result.err == "Missing output image filename!\n" + HINT
    assert [m.replace(" ", "") for m in sim.messages()] == [QUERY]


@pytest.mark.parametrize("refused, message", [
    ("0", "Exposure duration must be >= 0.001 seconds"),
    ("0.0005", "Exposure duration must be >= 0.001 seconds"),
    ("1.5s", "Junk text after exposure duration"),
])
def test_refused_exposure_time_stops_before_the_camera(shot, sim, tmp_path, refused, message):
    result = shot(f"-camera={sim.device}", refused, "x.tif")
    assert (result.status, result.out, result.err) == (3, "", message + "\n" + HINT)
    assert sim.messages() == []
    assert not (tmp_path / "x.tif").exists()


def test_default_camera_missing(shot, tmp_path):
    if os.path.exists("/dev/ccda"):
        pytest.skip("/dev/ccda exists on this machine")
    result = shot("1", "x.tif")
    assert (result.status, result.out, result.err) == (1, "", "Cannot open camera device: /dev/ccda\n")
    assert not (tmp_path / "x.tif").exists()


def test_named_camera_missing(shot, tmp_path):
    result = shot("-camera=/nonexistent/ccdb", "1", "x.tif")
    assert (result.status, result.out, result.err) == (1, "", "Cannot open camera device: /nonexistent/ccdb\n")
    # A path of 63 characters is the longest; a longer one is refused, not cut.
    long_path = "/nonexistent/" + "d" * 40 + "/" + "c" * 30
    result = shot(f"-camera={long_path[:63]}", "1", "x.tif")
    assert (result.status, result.out, result.err) == (
        1, "", f"Cannot open camera device: {long_path[:63]}\n")
    result = shot(f"-camera={long_path[:64]}", "1", "x.tif")
    assert (result.status, result.out, result.err) == (
        3, "", "Camera device path longer than 63 characters!\n" + HINT)
    result = shot("-camera=", "1", "x.tif")
    assert (result.status, result.out, result.err) == (1, "", "Cannot open camera device: \n")
    assert not (tmp_path / "x.tif").exists()


def test_block_device_is_refused_untouched(shot, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root to set up a loop device")
    if shutil.which("losetup") is None:
        pytest.skip("losetup is absent (package mount)")
    disk = tmp_path / "disk.img"
    image = bytes(range(256)) * 4096
    disk.write_bytes(image)
    attached = subprocess.run(["losetup", "--find", "--show", str(disk)], capture_output=True, text=True)
    if attached.returncode != 0:
        pytest.skip(f"no loop device here: {attached.stderr.strip()}")
    device = attached.stdout.strip()
    try:
        result = shot(f"-camera={device}", "1", "x.tif")
    finally:
        subprocess.run(["losetup", "--detach", device], check=True)
    assert (result.status, result.out) == (1, "")
    assert result.err == f"{device}: a block device, not a camera\nCannot open camera device: {device}\n"
    assert disk.read_bytes() == image
    assert not (tmp_path / "x.tif").exists()


@pytest.mark.parametrize("closing", ["1>&-", "0<&- 1>&-", "0<&- 1>&- 2>&-"])
def test_closed_standard_descriptors_are_not_taken(shot, sim, tmp_path, closing):
    # Closed, descriptor 0, 1 or 2 would be the camera's or the image's, and
    # the progress text (on standard output, descriptor 3 being closed) would
    # go into the camera or the file.
    result = shot(f"-camera={sim.device}", "0.5", "x.fits", fd3="closed",
                  prefix=["sh", "-c", f'exec "$@" {closing}', "sh"])
    assert result.status == 0
    messages = sim.messages()
    assert (messages[0], len(messages), len(sim.exposures())) == (QUERY, 2, 1)
    data = (tmp_path / "x.fits").read_bytes()
    assert data.startswith(b"SIMPLE  =")
    assert len(data) == 2880 + 1600000 + 2880 - 1600000 % 2880


@pytest.mark.parametrize("output, redirect, stream", [
    ("/dev/stdout", "1>a.fits", "standard output"),
    ("a.fits", "1>a.fits", "standard output"),
    ("/dev/stderr", "", "standard error"),
    ("a.fits", "3>a.fits", "progress channel"),
    ("@camera", "", "camera device"),
])
def test_output_that_is_another_stream_is_refused(shot, sim, tmp_path, output, redirect, stream):
    output = sim.device if output == "@camera" else output
    result = shot(f"-camera={sim.device}", "0.5", "-fits", output,
                  prefix=["sh", "-c", f'echo old > a.fits; exec "$@" {redirect}', "sh"])
    assert result.status == 3
    assert result.err == f"Output file {output} is also the {stream}!\n" + HINT
    # Nothing was exposed and the file keeps its contents (but for what the
    # shell's redirection did, and the camera line on a redirected standard output).
    assert sim.exposures() == []
    if redirect == "1>a.fits":
        assert (tmp_path / "a.fits").read_text() == CAMERA_LINE
    elif redirect == "":
        assert (tmp_path / "a.fits").read_text() == "old\n"
        assert result.out == CAMERA_LINE
    else:
        assert (tmp_path / "a.fits").read_text() == ""


def test_output_to_a_memory_device_stream_passes(shot, sim):
    # /dev/null holds nothing to corrupt: it may be the progress channel and the output both.
    with open(os.devnull, "wb") as null:
        result = shot(f"-camera={sim.device}", "0.5", "-fits", "/dev/null", fd3=null.fileno())
    assert result.status == 0, result.err
    assert result.out.endswith("/dev/null: FITS Upload Complete\n")


@pytest.mark.parametrize("fault, reason", [
    ("--fault-short-query-reply=1", "CCD message length wrong: 91\n"),
    ("--fault-fail-query-read", "CCD message length wrong: -1\n"),
    ("--fault-reply-type=0x1002", "Wrong message returned from query: 0x1002"),
])
def test_camera_that_fails_its_query(shot, start_sim, tmp_path, fault, reason):
    sim = start_sim("--width=1000", "--height=800", "--time-scale=0", fault)
    result = shot(f"-camera={sim.device}", "1", "x.tif")
    assert result.status == 1
    assert result.out == ""
    assert result.err == reason + f"Cannot open camera device: {sim.device}\n"
    assert not (tmp_path / "x.tif").exists()


def test_output_directory_missing(shot, sim):
    result = shot(f"-camera={sim.device}", "0.5", "missing/x.tif")
    assert result.status == 2
    assert result.out == CAMERA_LINE
    assert result.err == "missing/x.tif: No such file or directory\n"
    assert sim.exposures() == []


def test_output_directory_not_writable(tree, start_sim):
    if os.geteuid() != 0:
        pytest.skip("needs root to run the program as another user")
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is absent (package util-linux)")
    sim = start_sim("--width=1000", "--height=800", "--pattern=ramp", "--time-scale=0",
                    world=True)
    locked = tempfile.mkdtemp(prefix="ccdshot-e2e-locked-")
    try:
        os.chmod(locked, 0o755)  # root's: others may look, not write
        path = os.path.join(locked, "x.tif")
        result = run(tree.ccdshot, [f"-camera={sim.device}", "0.5", path], cwd="/",
                     prefix=["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"])
        assert result.status == 13, result.err
        assert result.out == CAMERA_LINE
        assert result.err == f"{path}: Permission denied\n"
        assert not os.path.exists(path)
        assert sim.exposures() == []
    finally:
        shutil.rmtree(locked, ignore_errors=True)


@pytest.mark.parametrize("fault, name, reason", [
    ("--fault-fail-row=3", "x.tif", "Failure while reading image!\nTIFF image write failed!\n"),
    ("--fault-fail-row=3", "x.fits", "Failure while reading image!\nFITS image write failed!\n"),
    ("--fault-truncate-row=800", "x.tif", "Truncated image read!\nTIFF image write failed!\n"),
    ("--fault-fail-header-read", "x.fits",
     "Error reading exposure:Input/output error\n\nFITS image write failed!\n"),
    ("--fault-image-length=1", "x.tif",
     "Image size discrepency! Read 1600009, expected 1600008\n\nTIFF image write failed!\n"),
    ("--fault-image-type=0x2002", "x.tif", "Invalid (driver) image message!\nTIFF image write failed!\n"),
])
def test_failed_readout(shot, start_sim, tmp_path, fault, name, reason):
    sim = start_sim("--width=1000", "--height=800", "--pattern=ramp", "--time-scale=0", fault)
    result = shot(f"-camera={sim.device}", "0.5", name)
    assert result.status == 2
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == reason
    assert (tmp_path / name).exists()


def test_failed_calibration_leaves_an_empty_file(shot, start_sim, tmp_path):
    sim = start_sim("--width=1000", "--height=800", "--pattern=ramp", "--time-scale=0",
                    "--fault-fail-row=1")
    (tmp_path / "x.fits").write_bytes(b"old contents")
    result = shot(f"-camera={sim.device}", "-autoexpose=10", "x.fits")
    assert result.status == 6
    assert result.out == CAMERA_LINE
    assert result.err == "Failure while reading image!Autoexposure calibration failed!\n"
    assert (tmp_path / "x.fits").stat().st_size == 0
    # One calibration frame of 10000 / 151 ms was exposed, and no final frame.
    assert [e["exposure_ms"] for e in sim.exposures()] == [66]


@pytest.mark.parametrize("args", [["x.jpg"], ["x.JPEG"], ["-jpeg", "x.fits"]])
def test_jpeg_is_refused_after_the_exposure(shot, sim, tmp_path, args):
    name = args[-1]
    (tmp_path / name).write_bytes(b"old contents")
    result = shot(f"-camera={sim.device}", "0.5", *args)
    assert result.status == 3
    assert result.out == CAMERA_LINE + EXPOSING_LINE
    assert result.err == "Unsupported image file type:  JPEG\n" + HINT
    assert (tmp_path / name).stat().st_size == 0
    assert len(sim.exposures()) == 1


@pytest.mark.parametrize("depth", [7, 17, 0])
def test_unsupported_depth_empties_the_file(shot, start_sim, tmp_path, depth):
    sim = start_sim("--width=1000", "--height=800", "--time-scale=0", f"--default-depth={depth}")
    (tmp_path / "x.tif").write_bytes(b"old contents")
    result = shot(f"-camera={sim.device}", "0.5", "x.tif")
    assert result.status == 3
    assert result.out == CAMERA_LINE
    assert result.err == f"Pixel depth of {depth} bits is not currently supported!\n\n" + HINT
    assert (tmp_path / "x.tif").stat().st_size == 0
    assert sim.exposures() == []


@pytest.mark.parametrize("depth", [8, 16])
def test_depth_limits_pass(shot, start_sim, depth):
    sim = start_sim("--width=1000", "--height=800", "--time-scale=0", f"--default-depth={depth}")
    result = shot(f"-camera={sim.device}", "0.5", "x.fits")
    assert result.status == 0, result.err
    assert result.out == (CAMERA_LINE + f"Exposing 1000x800 pixel {depth}-bit image for 0.5 seconds\n"
                          + "x.fits: FITS Upload Complete\n")
    assert [e["depth"] for e in sim.exposures()] == [depth]


@pytest.mark.parametrize("bits", [1, 8, 17, 24, 32])
def test_camera_pixel_size_outside_9_to_16_is_refused_before_exposing(shot, start_sim, tmp_path, bits):
    sim = start_sim("--width=1000", "--height=800", "--time-scale=0", f"--bits-per-pixel={bits}")
    result = shot(f"-camera={sim.device}", "0.5", "x.tif")
    assert result.status == 3
    assert result.out == f"CCDSIM: 1000x800 pixel {bits}-bit CCD camera\n"
    assert result.err == f"Camera pixel size of {bits} bits is not currently supported!\n\n" + HINT
    assert (tmp_path / "x.tif").stat().st_size == 0
    assert sim.exposures() == []


@pytest.mark.parametrize("bits", [9, 12])
def test_camera_pixel_sizes_of_two_bytes_pass(shot, start_sim, bits):
    sim = start_sim("--width=1000", "--height=800", "--time-scale=0", f"--bits-per-pixel={bits}")
    result = shot(f"-camera={sim.device}", "0.5", "x.tif")
    assert result.status == 0, result.err
    assert result.out.endswith("x.tif: TIFF Upload Complete\n")


@pytest.mark.parametrize("window", [
    ["-offset=1000"],            # origin on the right edge
    ["-offset=5000,0"],          # origin far beyond it
    ["-offset=0,800"],           # origin on the bottom edge
    ["-offset=999", "-bin", "2"],  # one column left, binning 2
    ["-size=2", "-bin", "3"],    # window narrower than its binning
    ["-size=4,2", "-bin=1,3"],   # window lower than its binning
    ["-offset=0x7fffffff"],      # the largest origin
])
def test_empty_window_is_refused_before_exposing(shot, sim, tmp_path, window):
    result = shot(f"-camera={sim.device}", *window, "0.5", "x.tif")
    assert result.status == 3
    assert result.out == CAMERA_LINE
    assert result.err == "Image window is empty!\n" + HINT
    assert (tmp_path / "x.tif").stat().st_size == 0
    assert sim.exposures() == []


def test_help_ends_the_run_before_the_camera(shot, sim):
    result = shot(f"-camera={sim.device}", "-help", "1", "x.tif")
    assert (result.status, result.err) == (0, "")
    lines = result.out.splitlines()
    assert lines[0].startswith("ccdshot revised 10/9/05 ")
    assert lines[1] == "Snap a photo from a monochrome CCD camera. Usage:"
    assert len(lines) == 21
    # An option refused before -help wins.
    result = shot(f"-camera={sim.device}", "-bin", "9", "-help")
    assert (result.status, result.out) == (3, "")
    assert result.err == "Binning factors must be between 1 and 4!\n" + HINT
    assert sim.messages() == []
