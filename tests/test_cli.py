"""The `corvane` command, run as a user runs it: through a subprocess, judged by
its output and exit status."""

import contextlib
import importlib.metadata
import json
import os
import platform
import pty
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

import Corvane
from Corvane.simpleImage_ext import SimpleImage
from corpus import (BAD_CRC, BAD_SIGNATURE, BMP_DIR, DAMAGE, DAMAGED_HEADER_FIELDS, PNG_DIR,
                    ROOT as CORPUS, Refused, expected_png, needs_corpus)
from imagefiles import (chunk, ihdr_data, make_bmp, make_png, parse_png, png_file,
                        png_with_image_data, zlib_bomb)
from subprocesses import SANITIZED

PROJECT = Path(__file__).resolve().parent.parent
SAMPLES = Path(Corvane.__file__).parent / "samples"
ERROR = "corvane {}: error: {}: "


def corvane(*arguments, cwd=None, prefix=(), preexec_fn=None, stdin=None, stdout=None,
            timeout=120) -> subprocess.CompletedProcess:
    """Runs the command; standard output as text unless it is sent elsewhere."""
    capture = {"stdout": stdout} if stdout is not None else {"stdout": subprocess.PIPE}
    return subprocess.run([*prefix, sys.executable, "-m", "Corvane", *map(str, arguments)],
                          stderr=subprocess.PIPE, text=stdout is None, cwd=cwd,
                          timeout=timeout, preexec_fn=preexec_fn, input=stdin, **capture)


def limit_address_space() -> None:
    """In the child: 2 GiB of address space, so that a large pixel buffer is
    refused by the allocator on any machine, whatever its overcommit policy."""
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


needs_address_limit = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer cannot run under a limited address space")


def assert_one_line_errors(result, command: str, expected: dict) -> None:
    """stderr holds exactly one error line per failing file, naming it, with a
    message that contains the expected text, and no traceback."""
    lines = result.stderr.splitlines()
    assert "Traceback" not in result.stderr
    for path, text in expected.items():
        line = next((line for line in lines if line.startswith(ERROR.format(command, path))),
                    None)
        assert line is not None, result.stderr
        assert text in line.removeprefix(ERROR.format(command, path)), line


def findings(stdout: str) -> dict[str, tuple[str, str]]:
    """The files that `check` lists, by path: (status, detail)."""
    found = {}
    for line in stdout.splitlines():
        match = re.fullmatch(r"(unsupported|broken|unreadable|mismatch) +(\S.*?): (.*)", line)
        if match:
            found[match[2]] = (match[1], match[3])
    return found


def summary_counts(stdout: str) -> dict[str, int]:
    table = stdout.split("status       files\n", 1)[1].splitlines()[:6]
    return {status: int(count) for status, count in map(str.split, table)}


def crc(chunk_type: bytes, data: bytes) -> int:
    return zlib.crc32(chunk_type + data)


@pytest.fixture
def samples(tmp_path):
    folder = tmp_path / "samples"
    shutil.copytree(SAMPLES, folder)
    return folder


@pytest.fixture
def bad_files(tmp_path):
    """Files that fail in each way the module can fail, but memory, with the
    text the one-line error must hold for each."""
    folder = tmp_path / "bad"
    folder.mkdir()
    files = {
        "broken-zlib.png": (png_with_image_data(ihdr_data(1, 1), b"not zlib"), "Error -3"),
        "no-idat.png": (png_with_image_data(ihdr_data(1, 1), None),
                        "Error -5 while decompressing data: incomplete or truncated stream "
                        "(the file has no IDAT chunk)"),
        "cut-header.bmp": (make_bmp(1, 1, b"abc")[:30], "unpack requires a buffer of 36 bytes "
                           "(the file ends at byte 30, inside the 40-byte information header)"),
        "bad-crc.png": (make_png(1, 1, b"abc")[:-1] + b"\0", "Corrupted PNG chunk detected "
                        "(IEND chunk at byte 57: stored CRC 0xae426000, computed 0xae426082)"),
    }
    for name, (data, _) in files.items():
        (folder / name).write_bytes(data)
    return {folder / name: text for name, (_, text) in files.items()}


def palette_png() -> bytes:
    """A valid 2x2 palette PNG, which the decoder does not read."""
    rows = b"\0\x00\x01" + b"\0\x01\x00"
    return png_file([(b"IHDR", ihdr_data(2, 2, colour_type=3)), (b"PLTE", bytes(range(6))),
                     (b"IDAT", zlib.compress(rows)), (b"IEND", b"")])


# Valid files of kinds the decoder refuses: what `info` calls them, after the
# module's own message.
UNSUPPORTED_FILES = {
    "palette.png": (palette_png(),
                    "Only RGB/RGBA PNG images are supported (8-bit palette)"),
    "deep.png": (png_with_image_data(ihdr_data(1, 1, bit_depth=16), zlib.compress(bytes(7))),
                 "Only 8-bit PNG images are supported (16-bit RGB)"),
    "grey.png": (png_with_image_data(ihdr_data(1, 1, bit_depth=4, colour_type=0),
                                     zlib.compress(bytes(2))),
                 "Only 8-bit PNG images are supported (4-bit greyscale)"),
    "interlaced.png": (png_with_image_data(ihdr_data(1, 1, interlace=1), zlib.compress(bytes(4))),
                       "Unsupported PNG configuration (compression/filter/interlace) "
                       "(8-bit RGB, interlaced)"),
    "palette.bmp": (make_bmp(1, 1, b"abc", bits=8),
                    "Only uncompressed 24-bit BMP files are supported (8-bit palette)"),
    "rle.bmp": (make_bmp(1, 1, b"abc", bits=4, compression=2),
                "Only uncompressed 24-bit BMP files are supported (4-bit palette, RLE4)"),
    "v5.bmp": (make_bmp(1, 1, b"abc", header_size=124),
               "Only BITMAPINFOHEADER BMP files are supported "
               "(V5 information header (124 bytes))"),
    "photo.png": (b"\xff\xd8\xff\xe0" + bytes(20), "Unsupported image format (JPEG content)"),
}

# Broken files and what the command finds, after the module's own message.
IHDR_1X1 = chunk(b"IHDR", ihdr_data(1, 1))
BROKEN_FILES = {
    "bad-depth.png": (png_with_image_data(ihdr_data(1, 1, bit_depth=3), zlib.compress(bytes(4))),
                      "Only 8-bit PNG images are supported "
                      "(bit depth 3 is none that RGB allows (8, 16))"),
    "bad-colour-type.png": (png_with_image_data(ihdr_data(1, 1, colour_type=5), b""),
                            "Only RGB/RGBA PNG images are supported "
                            "(colour type 5 is none of PNG's (0, 2, 3, 4, 6))"),
    "cut-chunk.png": (b"\x89PNG\r\n\x1a\n" + IHDR_1X1 + struct.pack(">I", 100) + b"IDATabc",
                      "Unexpected EOF while reading chunk data "
                      "(the IDAT chunk at byte 33 declares 100 data bytes; 3 follow)"),
    "no-header.png": (png_file([(b"IEND", b"")]), "Incomplete PNG header information "
                                                  "(the file has no IHDR chunk)"),
    "short-ihdr.png": (png_file([(b"IHDR", bytes(12))]),
                       "unpack requires a buffer of 13 bytes "
                       "(the IHDR chunk at byte 8 holds 12 bytes, not 13)"),
    "short-data.png": (png_with_image_data(ihdr_data(2, 2), zlib.compress(bytes(13))),
                       "Malformed PNG image data (the image data inflates to 13 bytes; "
                       "2x2 8-bit RGB needs 14)"),
    "short.bmp": (make_bmp(2, 2, bytes(12))[:-1],
                  "Incomplete BMP pixel data (2 rows of 8 bytes from byte 54 end at byte 70; "
                  "the file holds 69)"),
    "planes.bmp": (make_bmp(1, 1, b"abc", planes=2),
                   "Only uncompressed 24-bit BMP files are supported (planes is 2; a BMP has 1)"),
    "odd-header.bmp": (make_bmp(1, 1, b"abc", header_size=41),
                       "Only BITMAPINFOHEADER BMP files are supported "
                       "(an information header of 41 bytes, a size no BMP version has)"),
    "notes.png": (b"notes\n", "Unsupported image format "
                              "(it starts with 6e 6f 74 65 73 0a, neither a PNG nor a BMP "
                              "signature)"),
    "empty.bmp": (b"", "Unsupported image format (the file is empty)"),
}


def write_files(folder: Path, files: dict) -> dict[Path, str]:
    folder.mkdir(exist_ok=True)
    for name, (data, _) in files.items():
        (folder / name).write_bytes(data)
    return {folder / name: text for name, (_, text) in files.items()}


@pytest.fixture
def unwritable_bmp(tmp_path):
    """A BMP that opens (its resolution is -1) and cannot be written back."""
    path = tmp_path / "negative-resolution.bmp"
    path.write_bytes(make_bmp(2, 2, bytes(12), xppm=-1))
    return path


@pytest.fixture
def huge_png(tmp_path):
    """A 4 MB PNG whose image data really inflates to the 4 GiB its header states."""
    path = tmp_path / "huge.png"
    path.write_bytes(png_with_image_data(ihdr_data(21845, 65536), zlib_bomb(4096)))
    return path


@pytest.fixture
def rgba(tmp_path):
    """A 4x3 RGBA PNG: fully transparent black, but pixel (3, 2), opaque white."""
    alpha = bytearray(12)
    alpha[11] = 255
    rgb = bytearray(36)
    rgb[33:36] = b"\xff\xff\xff"
    path = tmp_path / "rgba.png"
    path.write_bytes(make_png(4, 3, bytes(rgb), bytes(alpha)))
    return path


class TestInfo:
    def test_png_shows_size_alpha_chunk_table_and_filter_histogram(self, samples):
        result = corvane("info", samples / "gradient.png")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0].endswith("gradient.png: PNG 64x48, 4 channels (RGB and alpha)")
        assert "  IDAT     2000  IDAT" in lines and "  tEXt       38  stored" in lines
        assert lines[-1] == "  row filters: None 10, Sub 10, Up 10, Average 9, Paeth 9"

    def test_json_output_is_machine_readable(self, samples):
        result = corvane("info", "--json", samples / "gradient.png", samples / "gradient.bmp")
        png, bmp = json.loads(result.stdout)
        assert (png["status"], png["format"], png["width"], png["channels"], png["alpha"]) == (
            "ok", "PNG", 64, 4, True)
        assert [c["type"] for c in png["chunks"]][:2] == ["IHDR", "gAMA"]
        assert (bmp["alpha"], bmp["bmp_header"]) == (
            False, {"xppm": 3780, "yppm": 3780, "clrUsed": 0, "clrImportant": 0})

    def test_unsupported_files_are_described_with_why_and_exit_0(self, tmp_path):
        expected = write_files(tmp_path / "unsupported", UNSUPPORTED_FILES)
        result = corvane("info", *expected)
        assert result.returncode == 0 and result.stderr == ""
        heads = [line for line in result.stdout.splitlines() if not line.startswith(" ")]
        sizes = {"palette.png": "PNG 2x2, ", "photo.png": ""}
        assert heads == [f"{path}: {sizes.get(path.name, path.suffix[1:].upper() + ' 1x1, ')}"
                         f"unsupported: {text}" for path, text in expected.items()]

    def test_the_chunk_table_needs_no_pixels(self, tmp_path):
        path = tmp_path / "palette.png"
        path.write_bytes(palette_png())
        result = corvane("info", "--json", path)
        (info,) = json.loads(result.stdout)
        assert info["status"] == "unsupported" and info["unsupported"] == "8-bit palette"
        assert [(c["type"], c["length"]) for c in info["chunks"]] == [
            ("IHDR", 13), ("PLTE", 6), ("IDAT", len(zlib.compress(b"\0\x00\x01\0\x01\x00"))),
            ("IEND", 0)]

    def test_broken_files_say_what_is_wrong_once_on_stderr_and_exit_1(self, tmp_path):
        expected = write_files(tmp_path / "broken", BROKEN_FILES)
        result = corvane("info", *expected)
        assert result.returncode == 1
        assert_one_line_errors(result, "info", expected)
        assert len(result.stderr.splitlines()) == len(expected)
        assert all(text not in result.stdout for text in expected.values())

    def test_a_bad_crc_names_the_chunk_and_both_crcs_and_the_chunks_before_it_are_shown(
            self, tmp_path):
        good = make_png(1, 1, b"abc", before_idat=[(b"tEXt", b"a\0b")])
        chunks = parse_png(good)
        offset = good.index(b"IDAT") - 4
        idat = chunks[2][1]
        damaged = bytearray(good)
        damaged[offset + 8] ^= 1
        path = tmp_path / "damaged.png"
        path.write_bytes(bytes(damaged))
        result = corvane("info", path)
        computed = crc(b"IDAT", bytes(damaged[offset + 8:offset + 8 + len(idat)]))
        assert result.stderr == (f"corvane info: error: {path}: Corrupted PNG chunk detected "
                                 f"(IDAT chunk at byte {offset}: stored CRC "
                                 f"{crc(b'IDAT', idat):#010x}, computed {computed:#010x})\n")
        assert result.stdout.splitlines() == [f"{path}: PNG 1x1, broken", "  chunk  length",
                                              "  IHDR       13", "  tEXt        3"]

    def test_text_chunks_of_every_kind_are_shown_on_request(self, tmp_path):
        itxt = b"Title\0\x01\0de\0Titel\0" + zlib.compress("Grüße".encode())
        path = tmp_path / "texts.png"
        path.write_bytes(make_png(1, 1, b"abc", before_idat=[
            (b"tEXt", b"Comment\0two\nlines\x1b[31m"),
            (b"zTXt", b"Author\0\0" + zlib.compress(b"me")), (b"iTXt", itxt)]))
        result = corvane("info", "--text", path)
        assert result.stdout.splitlines()[-5:] == [
            "  text chunks:", "    tEXt Comment: two", "      lines\\x1b[31m",
            "    zTXt Author: me", "    iTXt Title [de: Titel]: Grüße"]
        (info,) = json.loads(corvane("info", "--json", "--text", path).stdout)
        assert info["texts"][2] == {"chunk": "iTXt", "keyword": "Title", "text": "Grüße",
                                    "language": "de", "translated_keyword": "Titel"}

    def test_an_unreadable_file_is_one_line_on_stderr_and_the_others_are_described(
            self, samples, tmp_path):
        result = corvane("info", tmp_path / "absent.png", samples / "gradient.bmp")
        assert result.returncode == 1
        assert result.stderr == f"corvane info: error: {tmp_path / 'absent.png'}: " \
                                "No such file or directory\n"
        assert result.stdout.startswith(f"{samples / 'gradient.bmp'}: BMP 63x48")

    @pytest.mark.parametrize("special, kind", [
        ("pipe", "a named pipe"), ("/dev/zero", "a character device"), (".", "a folder")])
    def test_a_pipe_a_device_or_a_folder_is_refused_without_being_read(
            self, tmp_path, special, kind):
        if special == "pipe":
            special = tmp_path / "pipe.png"
            os.mkfifo(special)
        result = corvane("info", special, cwd=tmp_path, timeout=30)
        assert result.returncode == 1
        assert result.stderr == f"corvane info: error: {special}: not a regular file ({kind})\n"

    def test_every_exception_from_a_file_is_one_line_and_the_rest_are_described(
            self, bad_files, samples):
        result = corvane("info", *bad_files, samples / "gradient.png")
        assert result.returncode == 1
        assert_one_line_errors(result, "info", bad_files)
        assert len(result.stderr.splitlines()) == len(bad_files)
        assert "gradient.png: PNG 64x48" in result.stdout

    def test_json_lists_the_error_of_each_broken_file(self, bad_files):
        result = corvane("info", "--json", *bad_files)
        described = json.loads(result.stdout)
        assert [entry["file"] for entry in described] == list(map(str, bad_files))
        assert all(entry["status"] == "broken" and text in entry["error"]
                   for entry, text in zip(described, bad_files.values()))

    @needs_address_limit
    def test_a_buffer_beyond_memory_is_reported_as_out_of_memory(self, huge_png):
        result = corvane("info", huge_png, preexec_fn=limit_address_space)
        assert result.returncode == 1
        assert result.stderr == f"corvane info: error: {huge_png}: out of memory\n"


class TestEdit:
    def test_png_edit_changes_pixels_and_keeps_every_other_chunk(self, samples):
        source, target = samples / "gradient.png", samples / "edited.png"
        result = corvane("edit", source, target, "--set", "1,2=9,8,7",
                         "--fill", "10,10,12,11=1,2,3")
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
        assert result.stdout.splitlines()[:3] == [
            f"{target}: PNG 64x48, 7 pixel(s) changed",
            "  chunks: IHDR gAMA pHYs tEXt IDAT IDAT IDAT tIME IEND",
            "  every chunk other than IDAT kept byte for byte"]
        edited = SimpleImage.open(str(target))
        assert edited._getPixel((1, 2)) == (9, 8, 7)
        assert edited._getPixel((12, 11)) == (1, 2, 3)
        assert edited._png_filters == SimpleImage.open(str(source))._png_filters
        keep = [c for c in parse_png(source.read_bytes()) if c[0] != b"IDAT"]
        assert [c for c in parse_png(target.read_bytes()) if c[0] != b"IDAT"] == keep

    def test_the_report_says_what_else_changed_in_the_file(self, tmp_path):
        """Bytes after IEND are dropped, IDAT sizes follow the new data, and a
        BMP's layout is normalised; the report says so."""
        png = tmp_path / "trailing.png"
        png.write_bytes(make_png(2, 1, bytes(6), idat_sizes=[5, 100]) + b"extra")
        result = corvane("edit", png, tmp_path / "out.png", "--set", "0,0=1,2,3")
        sizes = [len(d) for t, d in parse_png((tmp_path / "out.png").read_bytes())
                 if t == b"IDAT"]
        assert result.stdout.splitlines()[-1] == (
            f"  changed: IDAT sizes 5, {len(zlib.compress(bytes(8))) - 5} -> "
            f"{', '.join(map(str, sizes))}; dropped the 5 byte(s) after IEND")
        bmp = tmp_path / "top-down.bmp"
        bmp.write_bytes(make_bmp(1, 2, bytes(6), top_down=True, gap=bytes(8), trailing=b"xyz"))
        result = corvane("edit", bmp, tmp_path / "out.bmp", "--set", "0,0=1,2,3")
        assert result.stdout.splitlines()[-1] == (
            "  changed: rows stored bottom-up (they were top-down); header fields "
            "fileSize 70 -> 62; dropped the 8 byte(s) between the headers and the rows (a "
            "colour table or a gap); dropped the 3 byte(s) after the rows")

    @pytest.mark.parametrize("source, target, written, signature", [
        ("gradient.bmp", "edited.png", "BMP", b"BM"),
        ("gradient.png", "edited.bmp", "PNG", b"\x89PNG"),
    ])
    def test_the_format_follows_in_and_a_suffix_naming_the_other_says_so(
            self, samples, source, target, written, signature):
        result = corvane("edit", samples / source, samples / target, "--set", "0,0=1,2,3")
        assert result.returncode == 0
        assert (samples / target).read_bytes().startswith(signature)
        assert result.stderr == (f"corvane edit: note: {samples / target} is written as "
                                 f"{written}, the format of {samples / source}; its suffix "
                                 f"does not choose the format\n")

    def test_bmp_edit_keeps_its_resolution(self, samples):
        target = samples / "edited"
        result = corvane("edit", samples / "gradient.bmp", target, "--set", "0,0=1,2,3")
        assert result.returncode == 0 and result.stderr == ""
        assert result.stdout.splitlines()[1] == \
            "  header: xppm=3780, yppm=3780, clrUsed=0, clrImportant=0"
        edited = SimpleImage.open(str(target))
        assert edited._bmp_header["xppm"] == 3780 and edited._getPixel((0, 0)) == (1, 2, 3)

    def test_counts_pixels_whose_value_changed(self, samples):
        source = samples / "gradient.png"
        own = ",".join(map(str, SimpleImage.open(str(source))._getPixel((20, 20))))
        result = corvane("edit", source, samples / "out.png",
                         "--fill", "0,0,9,9=1,2,3", "--fill", "5,5,14,14=1,2,3",
                         "--set", f"20,20={own}")
        assert result.returncode == 0, result.stderr
        assert "175 pixel(s) changed" in result.stdout

    def test_a_fourth_number_sets_alpha_and_counts(self, rgba, tmp_path):
        target = tmp_path / "out.png"
        result = corvane("edit", rgba, target, "--fill", "0,0,1,0=0,0,0,128",
                         "--set", "3,2=255,255,255,255", "--set", "3,1=9,9,9,0")
        assert result.returncode == 0, result.stderr
        # Two pixels get alpha 128; (3, 2) keeps its value; (3, 1) changes colour
        # only, and stays transparent.
        assert result.stdout.splitlines()[:2] == [
            f"{target}: PNG 4x3, 3 pixel(s) changed",
            "  note: 1 of them were and stay fully transparent (alpha 0), so they look the "
            "same; R,G,B,A sets alpha as well"]
        edited = SimpleImage.open(str(target))
        assert edited._alpha[:4] == bytes([128, 128, 0, 0]) and edited._alpha[7] == 0

    @pytest.mark.parametrize("source", ["gradient.bmp", "rgb.png"])
    def test_a_fourth_number_on_an_image_without_alpha_is_refused(self, samples, source):
        (samples / "rgb.png").write_bytes(make_png(2, 2, bytes(12)))
        target = samples / "out"
        result = corvane("edit", samples / source, target, "--set", "0,0=1,2,3,4")
        assert result.returncode == 1 and result.stdout == ""
        assert result.stderr == (
            f"corvane edit: error: {samples / source}: pixel (0,0) is given an alpha value, "
            f"but the image has no alpha channel: give R,G,B (adding alpha would change the "
            f"file's header)\n")
        assert not target.exists()

    def test_standard_output_gets_the_image_and_standard_error_the_report(self, samples):
        source = samples / "gradient.png"
        for out in ("-", "/dev/stdout"):
            result = corvane("edit", source, out, "--set", "0,0=1,2,3", stdout=subprocess.PIPE)
            assert result.returncode == 0
            image = SimpleImage.open(result.stdout)
            assert image._getPixel((0, 0)) == (1, 2, 3)
            report = result.stderr.decode()
            assert "PNG 64x48, 1 pixel(s) changed" in report
            assert report.startswith("standard output: " if out == "-" else "/dev/stdout: ")

    def test_standard_output_redirected_to_a_file_holds_the_image_alone(self, samples):
        target = samples / "redirected.png"
        with open(target, "wb") as redirected:
            result = corvane("edit", samples / "gradient.png", "/dev/stdout",
                             "--set", "0,0=1,2,3", stdout=redirected)
        assert result.returncode == 0
        assert SimpleImage.open(str(target))._getPixel((0, 0)) == (1, 2, 3)
        assert target.stat().st_size == len(target.read_bytes().split(b"IEND")[0]) + 8

    def test_a_terminal_is_refused_as_out(self, samples):
        leader, follower = pty.openpty()
        try:
            result = corvane("edit", samples / "gradient.png", "-", "--set", "0,0=1,2,3",
                             stdout=follower)
        finally:
            os.close(leader)
            os.close(follower)
        assert result.returncode == 2
        assert b"OUT is a terminal" in result.stderr

    def test_dev_null_is_a_dry_run_with_the_full_report(self, samples):
        before = sorted(samples.iterdir())
        result = corvane("edit", samples / "gradient.png", "/dev/null", "--fill", "0,0,3,3=0,0,0")
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines()[:3] == [
            "/dev/null: PNG 64x48, 16 pixel(s) changed",
            "  chunks: IHDR gAMA pHYs tEXt IDAT IDAT IDAT tIME IEND",
            "  every chunk other than IDAT kept byte for byte"]
        assert sorted(samples.iterdir()) == before

    def test_a_named_pipe_as_out_is_written_once_and_not_reopened(self, samples):
        pipe = samples / "pipe.png"
        os.mkfifo(pipe)
        reader = subprocess.Popen(["cat", str(pipe)], stdout=subprocess.PIPE)
        result = corvane("edit", samples / "gradient.bmp", pipe, "--set", "0,0=1,2,3",
                         timeout=30)
        written, _ = reader.communicate(timeout=30)
        assert result.returncode == 0, result.stderr
        assert SimpleImage.open(written)._getPixel((0, 0)) == (1, 2, 3)
        assert result.stdout.startswith(f"{pipe}: BMP 63x48, 1 pixel(s) changed")

    def test_standard_input_as_in(self, samples):
        result = corvane("edit", "-", samples / "out.png", "--set", "0,0=1,2,3",
                         stdin=(samples / "gradient.png").read_bytes(), stdout=subprocess.PIPE)
        assert result.returncode == 0, result.stderr
        assert SimpleImage.open(str(samples / "out.png"))._getPixel((0, 0)) == (1, 2, 3)

    @pytest.mark.parametrize("edit", [
        ["--set", "-1,0=0,0,0"],
        ["--fill", "-3,-3,2,2=0,0,0"],
        ["--set", "64,0=1,2,3"],
    ])
    def test_a_position_outside_the_image_is_one_line_and_exit_1(self, samples, edit):
        result = corvane("edit", samples / "gradient.png", samples / "out.png", *edit)
        assert result.returncode == 1
        assert result.stderr.startswith(ERROR.format("edit", samples / "gradient.png"))
        assert result.stderr.endswith("lies outside the 64x48 image\n")
        assert not (samples / "out.png").exists()

    def test_no_edit_is_a_usage_error(self, samples):
        result = corvane("edit", samples / "gradient.png", samples / "out.png")
        assert result.returncode == 2 and "nothing to change" in result.stderr
        assert result.stderr.startswith("usage: corvane edit")
        assert not (samples / "out.png").exists()

    @pytest.mark.parametrize("option", ["--set=1,2=3,4", "--set=1,2=300,0,0", "--fill=1,2=3,4,5",
                                        "--set=a,b=1,2,3", "--set=1,2=1,2,3,4,5"])
    def test_malformed_options_are_usage_errors(self, samples, option):
        result = corvane("edit", samples / "gradient.png", samples / "out.png", option)
        assert result.returncode == 2 and "Traceback" not in result.stderr

    @pytest.mark.parametrize("in_place", [False, True])
    def test_a_failed_write_leaves_out_as_it_was(self, unwritable_bmp, in_place):
        target = unwritable_bmp if in_place else unwritable_bmp.with_name("out.bmp")
        if not in_place:
            target.write_bytes(b"previous contents")
        before = target.read_bytes()
        result = corvane("edit", unwritable_bmp, target, "--set", "0,0=1,2,3")
        assert result.returncode == 1
        assert result.stderr.startswith(ERROR.format("edit", target))
        assert len(result.stderr.splitlines()) == 1 and "Traceback" not in result.stderr
        assert target.read_bytes() == before
        assert sorted(p.name for p in target.parent.iterdir()) == sorted(
            {unwritable_bmp.name, target.name})

    def test_an_unreadable_or_unsupported_in_is_one_line_with_why(self, bad_files, tmp_path):
        source, text = next(iter(bad_files.items()))
        result = corvane("edit", source, tmp_path / "out.png", "--set", "0,0=1,2,3")
        assert result.returncode == 1
        assert_one_line_errors(result, "edit", {source: text})
        palette = tmp_path / "palette.png"
        palette.write_bytes(palette_png())
        result = corvane("edit", palette, tmp_path / "out.png", "--set", "0,0=1,2,3")
        assert result.returncode == 1
        assert result.stderr == (f"corvane edit: error: {palette}: Only RGB/RGBA PNG images "
                                 f"are supported (8-bit palette)\n")


class TestCheck:
    def test_round_trip_of_good_files_exits_0_with_a_summary(self, samples):
        result = corvane("check", "--roundtrip", samples)
        assert result.returncode == 0, result.stdout
        assert result.stdout.splitlines()[1:] == [
            "status       files", "ok               2", "unsupported      0",
            "broken           0", "unreadable       0", "mismatch         0",
            "total            2", "read: 1 BMP, 1 PNG",
            "written back with changes besides the pixels: none"]

    def test_files_that_are_not_images_by_name_are_skipped_in_folders(self, samples):
        (samples / "readme.txt").write_text("not an image")
        assert corvane("check", samples).returncode == 0

    def test_unsupported_files_are_listed_once_and_fail_only_with_strict(self, samples):
        expected = write_files(samples / "unsupported", UNSUPPORTED_FILES)
        result = corvane("check", samples)
        assert result.returncode == 0 and result.stderr == ""
        assert findings(result.stdout) == {str(path): ("unsupported", text)
                                           for path, text in expected.items()}
        assert summary_counts(result.stdout)["unsupported"] == len(expected)
        assert corvane("check", "--strict", samples).returncode == 1

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_every_failure_is_listed_once_and_the_batch_ends_with_its_summary(
            self, samples, bad_files, unwritable_bmp, jobs):
        shutil.move(unwritable_bmp, samples)
        shutil.move(next(iter(bad_files)).parent, samples)
        expected = {str(samples / "bad" / path.name): ("broken", text)
                    for path, text in bad_files.items()}
        expected |= {str(path): ("broken", text)
                     for path, text in write_files(samples / "broken", BROKEN_FILES).items()}
        result = corvane("check", "--roundtrip", "-j", jobs, samples)
        assert result.returncode == 1 and result.stderr == ""
        listed = findings(result.stdout)
        mismatch = listed.pop(str(samples / unwritable_bmp.name))
        assert mismatch[0] == "mismatch" and mismatch[1].startswith("cannot be written back")
        assert {path: status for path, (status, _) in listed.items()} == {
            path: status for path, (status, _) in expected.items()}
        assert all(text in listed[path][1] for path, (_, text) in expected.items())
        assert summary_counts(result.stdout) == {
            "ok": 2, "unsupported": 0, "broken": len(expected), "unreadable": 0,
            "mismatch": 1, "total": len(expected) + 3}

    def test_json_gives_every_file_and_the_counts(self, samples):
        (samples / "palette.png").write_bytes(palette_png())
        result = corvane("check", "--json", samples)
        report = json.loads(result.stdout)
        statuses = {Path(f["file"]).name: (f["status"], f["format"]) for f in report["files"]}
        assert statuses == {"gradient.bmp": ("ok", "BMP"), "gradient.png": ("ok", "PNG"),
                            "palette.png": ("unsupported", "")}
        assert report["counts"] == {"ok": 2, "unsupported": 1, "broken": 0, "unreadable": 0,
                                    "mismatch": 0, "total": 3}

    def test_round_trip_changes_are_counted_and_named_per_file(self, tmp_path):
        (tmp_path / "trailing.png").write_bytes(make_png(1, 1, b"abc") + b"extra")
        (tmp_path / "top-down.bmp").write_bytes(make_bmp(1, 1, b"abc", top_down=True))
        result = corvane("check", "--roundtrip", tmp_path)
        assert result.returncode == 0
        assert result.stdout.splitlines()[-1] == (
            "written back with changes besides the pixels: bytes after IEND dropped 1, "
            "rows turned bottom-up 1")
        report = json.loads(corvane("check", "--roundtrip", "--json", tmp_path).stdout)
        changes = {Path(f["file"]).name: [c["text"] for c in f["changes"]]
                   for f in report["files"]}
        assert changes == {"trailing.png": ["dropped the 5 byte(s) after IEND"],
                           "top-down.bmp": ["rows stored bottom-up (they were top-down)"]}

    def test_round_trips_leave_nothing_on_disk(self, samples, tmp_path):
        scratch = tmp_path / "scratch"
        scratch.mkdir()
        before = sorted(samples.iterdir())
        result = subprocess.run([sys.executable, "-m", "Corvane", "check", "--roundtrip",
                                 str(samples)], capture_output=True, text=True, timeout=120,
                                env=os.environ | {"TMPDIR": str(scratch)})
        assert result.returncode == 0
        assert sorted(samples.iterdir()) == before and not any(scratch.iterdir())

    @needs_address_limit
    def test_running_out_of_memory_on_one_file_does_not_stop_the_batch(self, samples, huge_png):
        shutil.move(huge_png, samples)
        result = corvane("check", samples, preexec_fn=limit_address_space)
        assert result.returncode == 1
        assert findings(result.stdout) == {str(samples / "huge.png"): ("unreadable",
                                                                       "out of memory")}
        assert summary_counts(result.stdout)["ok"] == 2

    def test_a_folder_that_cannot_be_listed_is_reported(self, samples):
        locked = samples / "locked"
        locked.mkdir()
        (locked / "hidden.png").write_bytes(b"")
        locked.chmod(0)
        try:
            prefix = ()
            if os.geteuid() == 0:
                # Root reads any folder; without these two capabilities it cannot.
                if shutil.which("setpriv") is None:
                    pytest.skip("running as root without setpriv to drop the capabilities")
                prefix = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search")
            result = corvane("check", samples, prefix=prefix)
        finally:
            locked.chmod(0o755)
        assert result.returncode == 1
        assert findings(result.stdout) == {
            str(locked): ("unreadable", "folder cannot be listed: Permission denied")}
        assert summary_counts(result.stdout)["ok"] == 2

    @pytest.mark.parametrize("named", [False, True])
    def test_a_pipe_is_reported_not_opened(self, samples, named):
        os.mkfifo(samples / "pipe.png")
        result = corvane("check", samples / "pipe.png" if named else samples, timeout=30)
        assert result.returncode == 1
        assert findings(result.stdout) == {
            str(samples / "pipe.png"): ("unreadable", "not a regular file (a named pipe)")}

    def test_no_image_found_fails_with_an_empty_summary(self, tmp_path):
        result = corvane("check", tmp_path)
        assert result.returncode == 1
        assert result.stderr == "corvane check: error: no PNG or BMP files found\n"
        assert summary_counts(result.stdout)["total"] == 0

    @needs_corpus
    def test_the_corpus_tells_unsupported_files_from_broken_ones(self):
        result = corvane("check", "-j", "2", CORPUS)
        assert result.returncode == 1
        assert "Traceback" not in result.stderr
        listed = findings(result.stdout)
        for name in sorted(p.name for p in PNG_DIR.glob("*.png")):
            expected = expected_png(name)
            if not isinstance(expected, Refused):
                assert str(PNG_DIR / name) not in listed
                continue
            damaged = (DAMAGE.get(name[:3]) in (BAD_SIGNATURE, BAD_CRC)
                       or name[:3] in DAMAGED_HEADER_FIELDS)
            status, detail = listed[str(PNG_DIR / name)]
            assert status == ("broken" if damaged else "unsupported"), (name, detail)
        # The suite's "good" BMP files are all valid: the refused ones are unsupported.
        assert all(status == "unsupported" for path, (status, _) in listed.items()
                   if Path(path).parent == BMP_DIR / "g")
        counts = summary_counts(result.stdout)
        assert counts["ok"] > 0 and counts["total"] == len(listed) + counts["ok"]


def test_ctrl_c_stops_the_command_with_status_130(tmp_path):
    """The command blocks reading standard input from a pipe until it is interrupted."""
    process = subprocess.Popen([sys.executable, "-m", "Corvane", "edit", "-", tmp_path / "out",
                                "--set", "0,0=1,2,3"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(1)       # for the interpreter to start and wait in read()
        # A signal that lands before the command enters read() may come before its
        # handler is installed or interrupt nothing; once it waits there, the next one does.
        for _ in range(12):
            process.send_signal(signal.SIGINT)
            with contextlib.suppress(subprocess.TimeoutExpired):
                stdout, stderr = process.communicate(timeout=5)
                break
        else:
            pytest.fail("the command went on after Ctrl-C")
    finally:
        process.kill()
    assert process.returncode == 130
    assert stderr.strip() == "corvane edit: interrupted" and stdout == ""


class TestHelpAndVersion:
    def test_version_names_the_package_python_the_inflater_and_the_deflate(self):
        from Corvane._build import DEFLATE, INFLATER
        result = corvane("--version")
        assert result.returncode == 0
        assert result.stdout.splitlines() == [
            f"corvane {importlib.metadata.version('Corvane')}",
            f"Python {platform.python_version()} ({platform.python_implementation()})",
            f"inflater: {INFLATER}",
            f"deflate: {DEFLATE}"]
        assert Corvane.__version__ == importlib.metadata.version("Corvane")

    @pytest.mark.parametrize("command, arguments", [
        ("info", ["FILE"]), ("edit", ["IN", "OUT"]), ("check", ["PATH"])])
    def test_each_command_describes_itself_and_its_arguments(self, command, arguments):
        result = corvane(command, "--help")
        assert result.returncode == 0
        usage, description, *sections = result.stdout.split("\n\n")
        assert len(description.split()) > 10
        assert any(section.startswith("Exit status:") for section in sections)
        positional = next(s for s in sections if s.startswith("positional arguments:"))
        for name in arguments:
            line = next(line for line in positional.splitlines() if line.split()[0] == name)
            assert len(line.split()) > 3, line

    def test_edit_help_says_where_the_origin_is_and_that_the_format_follows_in(self):
        text = " ".join(corvane("edit", "--help").stdout.split())
        assert "(0, 0), the top-left pixel" in text
        assert "in the format and layout of IN" in text


def test_no_command_is_a_usage_error():
    assert corvane().returncode == 2


def test_console_script_runs_the_same_command():
    script = Path(sys.executable).parent / "corvane"
    result = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "info" in result.stdout


def test_the_tour_prints_what_the_readme_shows(tmp_path):
    """The commands of the scripts/main tour, run on the samples in an out/
    folder, print exactly what the README says they print."""
    readme = (PROJECT / "README.md").read_text()
    shown = readme.split("What `scripts/main` prints:\n\n```text\n", 1)[1].split("```", 1)[0]
    shutil.copytree(SAMPLES, tmp_path / "out")
    for step in shown.split("$ corvane ")[1:]:
        command, expected = step.split("\n", 1)
        result = corvane(*shlex.split(command), cwd=tmp_path)
        assert result.stdout.rstrip("\n") == expected.rstrip("\n"), command


@pytest.mark.skipif(Path(sys.prefix) != PROJECT / ".venv",
                    reason="scripts/main runs the command from the project's .venv")
def test_scripts_main_runs_the_command_in_the_callers_folder(samples):
    result = subprocess.run([PROJECT / "scripts" / "main", "info", "gradient.bmp"], cwd=samples,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("gradient.bmp: BMP 63x48, 3 channels (RGB)\n")
