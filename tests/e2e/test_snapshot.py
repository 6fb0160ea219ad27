"""Whole runs that end with an image: the file type chosen, the window sent
to the camera, the progress channel, and the pixels stored."""
import datetime
import os
import re
import threading

import numpy as np
import pytest

from support import preload_environment

CAMERA_LINE = "CCDSIM: 1000x800 pixel 16-bit CCD camera\n"
FITS_MAGIC = b"SIMPLE  =                    T"
TIFF_MAGIC = b"II*\x00"


def stored_type(path):
    with open(path, "rb") as stream:
        head = stream.read(30)
    if head.startswith(FITS_MAGIC):
        return "FITS"
    if head.startswith(TIFF_MAGIC):
        return "TIFF"
    return repr(head)


# ------------------------------------------------------------------ file types

@pytest.mark.parametrize("args, name, kind", [
    ([], "x.fits", "FITS"),
    ([], "x.FIT", "FITS"),
    ([], "x.fts", "FITS"),
    ([], "x.tif", "TIFF"),
    ([], "x.tiff", "TIFF"),
    ([], "x.txt", "TIFF"),
    ([], "x.png", "TIFF"),
    ([], "x", "TIFF"),
    ([], "x.", "TIFF"),
    ([], "dir.f/x", "FITS"),
    ([], "dir.j/x.t", "TIFF"),
    (["-fits"], "x.tif", "FITS"),
    (["-FITS"], "x.jpg", "FITS"),
    (["-tiff"], "x.fits", "TIFF"),
])
def test_type_from_name_or_option(shot, sim, tmp_path, args, name, kind):
    (tmp_path / "dir.f").mkdir()
    (tmp_path / "dir.j").mkdir()
    result = shot(f"-camera={sim.device}", *args, "0.5", name)
    assert result.status == 0, result.err
    assert result.err == ""
    assert result.out == (CAMERA_LINE + "Exposing 1000x800 pixel 16-bit image for 0.5 seconds\n"
                          + f"{name}: {kind} Upload Complete\n")
    assert stored_type(tmp_path / name) == kind


def test_words_after_the_output_file_are_ignored(shot, sim, tmp_path):
    result = shot(f"-camera={sim.device}", "0.5", "x.fits", "y.tif", "z")
    assert result.status == 0, result.err
    assert result.out.endswith("x.fits: FITS Upload Complete\n")
    assert sorted(os.listdir(tmp_path)) == ["x.fits"]


def test_existing_file_is_replaced(shot, sim, tmp_path):
    (tmp_path / "x.fits").write_bytes(b"z" * 5_000_000)
    assert shot(f"-camera={sim.device}", "0.5", "x.fits").status == 0
    assert (tmp_path / "x.fits").stat().st_size == 2880 + 1600000 + 2880 - 1600000 % 2880


# ---------------------------------------------------------------------- window

@pytest.mark.parametrize("options, size, expose", [
    ([], "1000x800", (1000, 800, 0, 0, 1, 1)),
    (["-offset=100,50"], "900x750", (900, 750, 100, 50, 1, 1)),
    (["-offset=100,50", "-size=2000,2000"], "900x750", (900, 750, 100, 50, 1, 1)),
    (["-offset=100,50", "-size=300"], "300x300", (300, 300, 100, 50, 1, 1)),
    (["-origin=999,799"], "1x1", (1, 1, 999, 799, 1, 1)),
    (["-bin", "3"], "333x266", (1000, 800, 0, 0, 3, 3)),
    (["-bin=2,4", "-offset=1,2", "-size=7,9"], "3x2", (7, 9, 1, 2, 2, 4)),
    # origin + size beyond the 32-bit range: still cut at the sensor's edge
    (["-offset=100", "-size=2147483647"], "900x700", (900, 700, 100, 100, 1, 1)),
    (["-offset=0x7fffffff,0", "-size=1"], None, None),
])
def test_window_on_a_1000_by_800_sensor(shot, sim, options, size, expose):
    result = shot(f"-camera={sim.device}", *options, "0.5", "x.fits")
    if size is None:
        assert (result.status, result.err) == (3, "Image window is empty!\nTry running 'ccdshot -help'\n")
        assert sim.exposures() == []
        return
    assert result.status == 0, result.err
    assert result.out == (CAMERA_LINE + f"Exposing {size} pixel 16-bit image for 0.5 seconds\n"
                          + "x.fits: FITS Upload Complete\n")
    (sent,) = sim.exposures()
    assert (sent["width"], sent["height"], sent["x_origin"], sent["y_origin"],
            sent["x_bin"], sent["y_bin"]) == expose
    assert (sent["depth"], sent["flags"], sent["exposure_ms"]) == (16, 0, 500)


def test_exposure_flags_and_time_reach_the_camera(shot, sim):
    result = shot(f"-camera={sim.device}", "-dark", "-nowipe", "-noclear", "-noacc", "-TDI",
                  "0.0015", "x.tif")
    assert result.status == 0, result.err
    assert "Exposing 1000x800 pixel 16-bit image for 0.002 seconds\n" in result.out
    (sent,) = sim.exposures()
    assert (sent["flags"], sent["exposure_ms"]) == (0x10 | 0x08 | 0x40 | 0x04 | 0x20, 2)


# ------------------------------------------------------------ progress channel

# Upload display of an 800-row image: 0% on row 1, then every 128 rows.
UPLOAD_800 = "\r  0% Uploaded        \r 16%\r 32%\r 48%\r 64%\r 80%\r 96%\r"
RESULT_LINES = (CAMERA_LINE + "Exposing 1000x800 pixel 16-bit image for 0.5 seconds\n"
                + "x.tif: TIFF Upload Complete\n")


def test_progress_on_descriptor_3_only(shot, sim):
    result = shot(f"-camera={sim.device}", "0.5", "x.tif", fd3="file")
    assert (result.status, result.out, result.err) == (0, RESULT_LINES, "")
    assert result.fd3 == UPLOAD_800


@pytest.mark.parametrize("fd3", ["closed", "readonly"])
def test_progress_on_standard_output_without_descriptor_3(shot, sim, fd3):
    result = shot(f"-camera={sim.device}", "0.5", "x.tif", fd3=fd3)
    assert (result.status, result.err, result.fd3) == (0, "", "")
    # The progress is written straight to the descriptor while the result
    # lines wait in the stream's buffer, so it comes first in a pipe.
    assert result.out == UPLOAD_800 + RESULT_LINES


def test_countdown_then_upload(shot, start_sim):
    sim = start_sim("--width=1000", "--height=800", "--pattern=ramp", "--time-scale=1")
    result = shot(f"-camera={sim.device}", "3", "x.tif", fd3="file")
    assert result.status == 0, result.err
    assert result.out == (CAMERA_LINE + "Exposing 1000x800 pixel 16-bit image for 3 seconds\n"
                          + "x.tif: TIFF Upload Complete\n")
    # Whether "2" is shown depends on where in its second the clock started.
    assert re.fullmatch(r"3 seconds remaining(\r2 )?\r" + re.escape(UPLOAD_800), result.fd3), \
        repr(result.fd3)


def read_then_close(read_end, marker, seen):
    """Reads descriptor 3's pipe until marker has arrived, then closes it."""
    text = b""
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        while marker not in text:
            chunk = pipe.read(4096)
            if not chunk:
                break
            text += chunk
    seen.append(text)


@pytest.mark.parametrize("marker, seconds", [
    (b"remaining", "3"),     # reader leaves during the countdown
    (b"Uploaded", "0.5"),    # reader leaves as the upload begins
])
def test_progress_reader_that_goes_away(shot, start_sim, tmp_path, marker, seconds):
    # A slow readout (a 4000-row image) keeps the upload going after the
    # reader has left, so later progress writes find a closed pipe.
    sim = start_sim("--width=64", "--height=4000", "--pattern=ramp", "--time-scale=0")
    read_end, write_end = os.pipe()
    seen = []
    reader = threading.Thread(target=read_then_close, args=(read_end, marker, seen))
    reader.start()
    try:
        result = shot(f"-camera={sim.device}", seconds, "x.fits", fd3=write_end)
    finally:
        os.close(write_end)
        reader.join()
    assert result.status == 0, (result.status, result.err)
    assert result.err == ""
    assert result.out.endswith("x.fits: FITS Upload Complete\n")
    assert marker in seen[0]
    assert (tmp_path / "x.fits").stat().st_size == 2880 + 64 * 2 * 4000 + (2880 - 512000 % 2880)


# ----------------------------------------------------------------------- pixels

def ramp_image(columns, rows, x_origin, y_origin, x_bin, y_bin, exposure_ms):
    """The binned window as the simulated camera sends it (its ramp pattern)."""
    row = np.arange(rows, dtype=np.int64)[:, None]
    column = np.arange(columns, dtype=np.int64)[None, :]
    total = np.zeros((rows, columns), dtype=np.int64)
    for j in range(y_bin):
        for i in range(x_bin):
            sx = x_origin + column * x_bin + i
            sy = y_origin + row * y_bin + j
            total += (sx * 37 + sy * 101 + exposure_ms) % 65536
    return np.minimum(total, 65535).astype(np.uint16)


def read_fits(path):
    """Header and image as a FITS reader sees them: unsigned 16-bit counts."""
    from astropy.io import fits
    with fits.open(path) as hdus:
        assert len(hdus) == 1
        header = hdus[0].header
        data = np.array(hdus[0].data)
    assert data.dtype == np.uint16, data.dtype
    return header, data


def read_tiff(path):
    from PIL import Image
    with Image.open(path) as image:
        assert image.mode == "I;16"
        return np.array(image, dtype=np.uint16)


@pytest.mark.parametrize("options, window", [
    # window = columns, rows, x_origin, y_origin, x_bin, y_bin
    ([], (1000, 800, 0, 0, 1, 1)),
    (["-bin=2,3"], (500, 266, 0, 0, 2, 3)),
    (["-offset=101,33", "-size=301,207"], (301, 207, 101, 33, 1, 1)),
    (["-offset=101,33", "-size=301,207", "-bin", "4x2"], (75, 103, 101, 33, 4, 2)),
])
@pytest.mark.parametrize("kind", ["FITS", "TIFF"])
def test_pixels_match_the_camera(shot, sim, tmp_path, options, window, kind):
    name = "x.fits" if kind == "FITS" else "x.tif"
    result = shot(f"-camera={sim.device}", *options, "1.234", name)
    assert result.status == 0, result.err
    columns, rows = window[0], window[1]
    assert f"Exposing {columns}x{rows} pixel 16-bit image for 1.234 seconds\n" in result.out
    expected = ramp_image(*window, exposure_ms=1234)
    if kind == "FITS":
        header, data = read_fits(tmp_path / name)
        assert (header["NAXIS1"], header["NAXIS2"], header["BITPIX"]) == (columns, rows, 16)
        assert header["EXPOSURE"] == 1.234
        # Rows in the order read, each row mirrored.
        np.testing.assert_array_equal(data, expected[:, ::-1])
    else:
        np.testing.assert_array_equal(read_tiff(tmp_path / name), expected)


def test_autoexposure_takes_the_output_file_first(shot, sim, tmp_path):
    # Ramp on a 100 x 100 window: a 66 ms calibration frame (10 s / 151) has
    # min 66 and filtered max 98*37 + 99*101 + 66 = 13691, so the time is
    # trunc(66 * 40000 / 13625) = 193 ms.
    result = shot(f"-camera={sim.device}", "-autoexpose=10", "-size=100", "x.fits", "ignored.tif")
    assert (result.status, result.err) == (0, "")
    assert result.out == (CAMERA_LINE + "Exposing 100x100 pixel 16-bit image for 0.193 seconds\n"
                          + "x.fits: FITS Upload Complete\n")
    assert [e["exposure_ms"] for e in sim.exposures()] == [66, 193]
    assert sorted(os.listdir(tmp_path)) == ["x.fits"]


# ------------------------------------------------------------------ dates

# Past 2038-01-19 03:14:07 UTC, the last second a 32-bit time_t holds.
AFTER_2038 = datetime.datetime(2039, 3, 14, 12, 34, 56, tzinfo=datetime.timezone.utc)


def date_obs(text):
    """DATE-OBS as a UTC time: ISO 8601 ('2039-03-14T12:34:56') or the C
    library's ctime text ('Mon Mar 14 12:34:56 2039'), read with TZ=UTC."""
    for form in ("%Y-%m-%dT%H:%M:%S", "%Y-%m-%dT%H:%M:%S.%f", "%a %b %d %H:%M:%S %Y"):
        try:
            return datetime.datetime.strptime(text.strip(), form).replace(tzinfo=datetime.timezone.utc)
        except ValueError:
            pass
    raise AssertionError(f"DATE-OBS {text!r} is not a date")


@pytest.mark.parametrize("kind", ["FITS", "TIFF"])
def test_dates_after_2038(tree, shot, sim, tmp_path, kind):
    # The program's clock is set (a preloaded library) to 2039; the file's
    # date must be that one, not one wrapped round to 1901.
    name = "x.fits" if kind == "FITS" else "x.tif"
    env = {"CCDSHOT_FAKE_REALTIME": str(int(AFTER_2038.timestamp())), "TZ": "UTC",
           **preload_environment(tree.ccdshot, tree.build / "tests" / "support" / "fake_realtime.so")}
    result = shot(f"-camera={sim.device}", "0.5", name, env=env)
    assert (result.status, result.err) == (0, "")
    if kind == "FITS":
        header, _ = read_fits(tmp_path / name)
        date = date_obs(header["DATE-OBS"])
    else:
        from PIL import Image
        with Image.open(tmp_path / name) as image:
            date = datetime.datetime.strptime(image.tag_v2[306], "%Y:%m:%d %H:%M:%S").replace(
                tzinfo=datetime.timezone.utc)
    assert AFTER_2038 <= date <= AFTER_2038 + datetime.timedelta(seconds=30), date
