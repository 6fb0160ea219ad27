#!/usr/bin/python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The readout and TIFF targets read their inputs through libFuzzer's
FuzzedDataProvider: integers are taken from the end of the input (most
significant byte last in the file), byte strings and text from the front.
Input below composes inputs in that layout, so each seed is a case that
reads as written here.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


class Input:
    """An input as FuzzedDataProvider consumes it."""

    def __init__(self):
        self.front = bytearray()
        self.back = []  # integers' bytes in the order they are consumed

    def integer(self, value, low, high):
        span = high - low
        offset = value - low
        assert 0 <= offset <= span
        width = 0
        while width < 8 and span >> (8 * width) > 0:
            width += 1
        # The provider builds (result << 8) | byte from the end backwards.
        for shift in reversed(range(width)):
            self.back.append((offset >> (8 * shift)) & 0xFF)

    def boolean(self, value):
        self.integer(1 if value else 0, 0, 255)

    def int32(self, value):
        self.integer(value, -2**31, 2**31 - 1)

    def uint32(self, value):
        self.integer(value, 0, 2**32 - 1)

    def uint16(self, value):
        self.integer(value, 0, 2**16 - 1)

    def uint8(self, value):
        self.integer(value, 0, 255)

    def raw(self, data):
        self.front += data

    def text(self, value):
        # A backslash is doubled; a backslash and another byte ends the text.
        self.front += value.replace(b"\\", b"\\\\") + b"\\x"

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def header(length, kind=0x2001, magic=0xCCDD):
    return struct.pack("<HHHH", magic, length & 0xFFFF, length >> 16, kind)


def query_seeds():
    def reply(model=b"CCDSIM".ljust(32), kind=0x1001, width=1392, height=1040, pw=1651, ph=1651,
              bits=16, depth=16, size=92):
        data = bytearray(92)
        data[0:8] = header(92, kind)
        data[8:40] = model
        struct.pack_into("<8H", data, 74, width, height, pw, ph, 7, bits, depth, 9)
        return bytes(data[:size])

    return {
        "good_reply": b"\x00" + reply(),
        "short_91": b"\x00" + reply(size=91),
        "long_reply": b"\x00" + reply() + b"extra",
        "end_of_file": b"\x01",
        "failing_read": b"\x02",
        "wrong_type_1002": b"\x00" + reply(kind=0x1002),
        "bad_magic_accepted": b"\x00" + b"\x00\x00" + reply()[2:],
        "model_32_blanks": b"\x00" + reply(model=b" " * 32),
        "model_32_letters": b"\x00" + reply(model=b"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"),
        "model_nul_inside": b"\x00" + reply(model=b"ABC\x00DEF".ljust(32, b" ")),
        "pixel_sizes_half": b"\x00" + reply(pw=1856, ph=1855),
        "pixel_sizes_max": b"\x00" + reply(pw=65535, ph=0, width=65535, height=65535, bits=65535),
    }


def readout_seed(width, height, x_bin=1, y_bin=1, bits=16, debug=1, stats=True, stop_at=0, reset=False,
                 good_header=True, header_delta=0, header_bytes=b"", rows=None, fill=b"", odd_rows=()):
    """rows: how many row packets follow (of the request's size unless listed
    in odd_rows, a dict of packet index to length)."""
    data = Input()
    data.boolean(False)  # the narrow ranges
    data.integer(bits, 0, 33)
    data.integer(width, -3, 600)
    data.integer(height, -3, 600)
    data.integer(x_bin, 0, 5)
    data.integer(y_bin, 0, 5)
    for value in (0, 0, 16, 0):  # origin, depth, flags
        data.int32(value)
    data.uint32(5)
    data.uint8(debug)
    data.boolean(stats)
    data.integer(stop_at, 0, 300)
    data.boolean(reset)
    pixels = width // x_bin if x_bin else 0
    image_rows = height // y_bin if y_bin else 0
    row_size = pixels * ((bits + 7) // 8)
    data.boolean(good_header)
    if good_header:
        data.integer(header_delta, -2, 2)
    elif header_bytes is None:
        data.integer(13, 0, 13)  # no header packet
    else:
        data.integer(len(header_bytes), 0, 13)
        data.raw(header_bytes)
    data.integer(len(fill), 0, 256)
    data.raw(fill)
    odd_rows = dict(odd_rows)
    for index in range(image_rows if rows is None else rows):
        if index in odd_rows:
            data.integer(0, 0, 7)
            data.integer(odd_rows[index], 0, min(row_size, 32768) + 4)
        else:
            data.integer(1, 0, 7)
        data.uint8(index & 0xFF)
    return data.bytes()


def readout_seeds():
    ramp = bytes(range(0, 256, 3))
    return {
        "small_image": readout_seed(6, 4, fill=ramp),
        "binned_2x3": readout_seed(10, 9, 2, 3, fill=ramp),
        "three_hundred_rows": readout_seed(2, 300, debug=0, fill=b"\x05\x00\x09\x00"),
        "sink_stops_row_3": readout_seed(4, 10, stop_at=3, fill=ramp),
        "header_one_too_long": readout_seed(4, 4, header_delta=1),
        "header_wrong_type": readout_seed(4, 4, good_header=False, header_bytes=header(40, 0x2002)),
        "header_short": readout_seed(4, 4, good_header=False, header_bytes=b"\xdd\xcc\x28\x00"),
        "truncated_row_2": readout_seed(8, 4, odd_rows={1: 15}, fill=ramp),
        "failing_read_after_rows": readout_seed(4, 6, rows=3, reset=True, fill=ramp),
        "failing_header_read": readout_seed(4, 4, good_header=False, header_bytes=None, rows=0, reset=True),
        "empty_header_packet": readout_seed(4, 4, good_header=False, header_bytes=b""),
        "eight_bit_camera": readout_seed(7, 3, bits=8, fill=ramp),
        "thirty_two_bit_camera": readout_seed(5, 3, bits=32, fill=ramp),
        "zero_bits_per_pixel": readout_seed(5, 3, bits=0),
        "zero_binning": readout_seed(5, 3, x_bin=0, y_bin=0),
        "window_narrower_than_binning": readout_seed(1, 3, x_bin=2),
        "no_stats_debug": readout_seed(3, 3, stats=False, fill=ramp),
    }


def options_seeds():
    def words(*items):
        return b"\x00".join(item.encode() for item in items)

    return {
        "exposure_and_file": words("1.5", "out.tif"),
        "bin_2x3": words("-bin", "2x3", ".005", "x.fits"),
        "binning_pair": words("--binning=2:3", "1", "x"),
        "hex_size_octal_offset": words("-size=0x200", "-offset=010,020", "1", "x"),
        "bin_fraction": words("-bin", "2.5", "1", "x"),
        "negative_size": words("-size=640,-480", "1", "x"),
        "autoexpose_value": words("-autoexpose=,40000", "x.tif"),
        "autoexpose_too_short": words("-autoexpose=0.002", "x"),
        "autoexpose_trailing_comma": words("-autoexpose=5,", "x"),
        "tiff_deflate": words("-tiff=deflate", "-debug=2", "1", "x"),
        "redundant_type": words("-tiff", "-fits", "1", "x"),
        "ambiguous": words("-d", "1", "x"),
        "unknown": words("-x", "1", "x"),
        "missing_argument": words("1", "x", "-camera"),
        "help_after_options": words("-dark", "-nowipe", "-help"),
        "bad_bin_before_help": words("-bin", "9", "-help"),
        "camera_long": words("-camera=" + "/dev/" + "c" * 80, "1", "x"),
        "double_dash": words("--", "-bin", "x"),
        "too_long": words("2147483.648", "x"),
        "junk_exposure": words("1.5s", "x"),
        "value_for_flag": words("-dark=1", "1", "x"),
    }


def tiff_seed(mask, values, width=20, height=12, x_bin=1, y_bin=1, exposure_ms=1500, debug=0):
    data = Input()
    data.uint8(mask)
    data.integer(width, 4, 70)
    data.integer(height, 4, 70)
    data.integer(x_bin, 1, 4)
    data.integer(y_bin, 1, 4)
    data.uint32(exposure_ms)
    data.integer(debug, 0, 2)
    for index in range(8):
        data.text(values.get(index, "").encode())
    return data.bytes()


def tiff_seeds():
    artist, host, software, make, compression, predictor, orientation, comment = range(8)
    bit = lambda *names: sum(1 << n for n in names)
    return {
        "no_variables": tiff_seed(0, {}),
        "deflate": tiff_seed(bit(compression), {compression: "32946"}, debug=2),
        "lzw_predictor": tiff_seed(bit(compression, predictor), {compression: "5", predictor: "2"}),
        "float_predictor": tiff_seed(bit(compression, predictor), {compression: "5", predictor: "3"}),
        "packbits": tiff_seed(bit(compression), {compression: "32773"}),
        "jpeg": tiff_seed(bit(compression), {compression: "7"}),
        "zstd": tiff_seed(bit(compression), {compression: "50000"}),
        "lzma": tiff_seed(bit(compression), {compression: "34925"}),
        "unknown_compression": tiff_seed(bit(compression), {compression: "12345"}),
        "compression_text": tiff_seed(bit(compression), {compression: "abc"}),
        "compression_5x": tiff_seed(bit(compression), {compression: " 5x"}),
        "orientation_8": tiff_seed(bit(orientation), {orientation: "8"}),
        "orientation_9": tiff_seed(bit(orientation), {orientation: "9"}),
        "texts": tiff_seed(bit(artist, host, software, make),
                           {artist: "A. Observer", host: "scope", software: "ccdshot", make: ""}),
        "long_comment": tiff_seed(bit(comment), {comment: "c" * 2500}, x_bin=2, y_bin=2),
        "empty_comment_binned_2x1": tiff_seed(bit(comment), {comment: ""}, x_bin=2),
        "longest_exposure": tiff_seed(0, {}, exposure_ms=2147483647, y_bin=2),
        "all_set": tiff_seed(0xFF, {n: "1" for n in range(8)}, width=70, height=70, x_bin=3, y_bin=4),
        "float_predictor_deflate": tiff_seed(bit(compression, predictor), {compression: "8", predictor: "3"}),
        # Codes libtiff takes as a tag and cannot encode 16-bit greyscale with.
        **{f"unencodable_{code}": tiff_seed(bit(compression), {compression: str(code)})
           for code in (2, 3, 4, 6, 9, 10, 32766, 32771, 32809, 32908, 34676, 34677, 34712, 34926, 50001, 99)},
    }


def main():
    for target, seeds in (("query", query_seeds()), ("readout", readout_seeds()),
                          ("options", options_seeds()), ("tiff_env", tiff_seeds())):
        directory = HERE / "corpus" / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
