"""The `corvane` command, run as a user runs it: through a subprocess, judged by
its output and exit status."""

import contextlib
import importlib.metadata
import json
import os
import platform
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import Corvane
from Corvane.simpleImage_ext import SimpleImage
from corpus import ROOT as CORPUS, needs_corpus
from imagefiles import (ihdr_data, make_bmp, make_png, parse_png,
                        png_with_image_data, zlib_bomb)
from subprocesses import SANITIZED

SAMPLES = Path(Corvane.__file__).parent / "samples"
ERROR = "corvane {}: error: {}: "


def corvane(*arguments, cwd=None, prefix=(), preexec_fn=None) -> subprocess.CompletedProcess:
    return subprocess.run([*prefix, sys.executable, "-m", "Corvane", *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd, timeout=120,
                          preexec_fn=preexec_fn)


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
        "no-idat.png": (png_with_image_data(ihdr_data(1, 1), None), "Error -5"),
        "cut-header.bmp": (make_bmp(1, 1, b"abc")[:30], "unpack requires a buffer of 36 bytes"),
        "bad-crc.png": (make_png(1, 1, b"abc")[:-1] + b"\0", "Corrupted PNG chunk detected"),
    }
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


class TestInfo:
    def test_png_shows_size_chunk_table_and_filter_histogram(self, samples):
        result = corvane("info", samples / "gradient.png")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0].endswith("gradient.png: PNG 64x48, 4 channels")
        assert "  IDAT     2000  IDAT" in lines and "  tEXt       38  stored" in lines
        assert lines[-1] == "  row filters: None 10, Sub 10, Up 10, Average 9, Paeth 9"

    def test_json_output_is_machine_readable(self, samples):
        result = corvane("info", "--json", samples / "gradient.png", samples / "gradient.bmp")
        png, bmp = json.loads(result.stdout)
        assert (png["format"], png["width"], png["channels"]) == ("PNG", 64, 4)
        assert [c["type"] for c in png["chunks"]][:2] == ["IHDR", "gAMA"]
        assert bmp["bmp_header"] == {"xppm": 3780, "yppm": 3780, "clrUsed": 0,
                                     "clrImportant": 0}

    def test_an_unreadable_file_is_one_line_on_stderr_and_exit_1(self, samples, tmp_path):
        bad = tmp_path / "notes.png"
        bad.write_bytes(b"GIF89a")
        result = corvane("info", bad, samples / "gradient.bmp")
        assert result.returncode == 1
        assert result.stderr == f"corvane info: error: {bad}: Unsupported image format\n"
        assert "gradient.bmp: BMP 63x48" in result.stdout

    def test_a_missing_file_names_the_problem_and_prints_nothing_else(self, tmp_path):
        result = corvane("info", tmp_path / "absent.png")
        assert result.returncode == 1 and result.stdout == ""
        assert result.stderr == f"corvane info: error: {tmp_path / 'absent.png'}: " \
                                "No such file or directory\n"

    def test_every_exception_from_a_file_is_one_line_and_the_rest_are_described(
            self, bad_files, samples):
        result = corvane("info", *bad_files, samples / "gradient.png")
        assert result.returncode == 1
        assert_one_line_errors(result, "info", bad_files)
        assert len(result.stderr.splitlines()) == len(bad_files)
        assert "gradient.png: PNG 64x48" in result.stdout

    def test_json_lists_the_error_of_each_unreadable_file(self, bad_files):
        result = corvane("info", "--json", *bad_files)
        described = json.loads(result.stdout)
        assert [entry["file"] for entry in described] == list(map(str, bad_files))
        assert all(text in entry["error"] for entry, text in zip(described, bad_files.values()))

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
        assert "7 pixel(s) changed" in result.stdout
        assert "only the pixel data changed" in result.stdout
        edited = SimpleImage.open(str(target))
        assert edited._getPixel((1, 2)) == (9, 8, 7)
        assert edited._getPixel((12, 11)) == (1, 2, 3)
        assert edited._png_filters == SimpleImage.open(str(source))._png_filters
        keep = [c for c in parse_png(source.read_bytes()) if c[0] != b"IDAT"]
        assert [c for c in parse_png(target.read_bytes()) if c[0] != b"IDAT"] == keep

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
                                        "--set=a,b=1,2,3"])
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

    def test_an_unreadable_in_is_one_line(self, bad_files, tmp_path):
        source, text = next(iter(bad_files.items()))
        result = corvane("edit", source, tmp_path / "out.png", "--set", "0,0=1,2,3")
        assert result.returncode == 1
        assert_one_line_errors(result, "edit", {source: text})


class TestCheck:
    def test_round_trip_of_good_files_exits_0_with_a_summary(self, samples):
        result = corvane("check", "--roundtrip", samples)
        assert result.returncode == 0, result.stdout
        assert "ok              2" in result.stdout and "total           2" in result.stdout

    def test_files_that_are_not_images_by_name_are_skipped_in_folders(self, samples):
        (samples / "readme.txt").write_text("not an image")
        assert corvane("check", samples).returncode == 0

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_every_failure_is_one_line_and_the_batch_ends_with_its_summary(
            self, samples, bad_files, unwritable_bmp, jobs):
        shutil.move(unwritable_bmp, samples)
        shutil.move(next(iter(bad_files)).parent, samples)
        expected = {samples / "bad" / path.name: text for path, text in bad_files.items()}
        expected[samples / unwritable_bmp.name] = "cannot be written back"
        result = corvane("check", "--roundtrip", "-j", jobs, samples)
        assert result.returncode == 1
        assert_one_line_errors(result, "check", expected)
        assert len(result.stderr.splitlines()) == len(expected)
        summary = result.stdout.splitlines()
        assert summary[-6:] == ["status      files", "ok              2",
                                "unreadable      4", "mismatch        1",
                                "total           7", "read: 1 BMP, 1 PNG"]

    @needs_address_limit
    def test_running_out_of_memory_on_one_file_does_not_stop_the_batch(self, samples, huge_png):
        shutil.move(huge_png, samples)
        result = corvane("check", samples, preexec_fn=limit_address_space)
        assert result.returncode == 1
        assert result.stderr == f"corvane check: error: {samples / 'huge.png'}: out of memory\n"
        assert "unreadable      1" in result.stdout and "ok              2" in result.stdout

    @needs_corpus
    def test_the_whole_corpus_ends_with_its_summary(self):
        result = corvane("check", "-j", "2", CORPUS)
        assert result.returncode == 1
        assert "Traceback" not in result.stderr
        # Under AddressSanitizer its own warnings, lines starting with "==", come too.
        errors = [line for line in result.stderr.splitlines()
                  if not (SANITIZED and line.startswith("=="))]
        assert all(line.startswith(f"corvane check: error: {CORPUS}/") for line in errors)
        counts = dict(line.split() for line in result.stdout.splitlines()[-5:-1])
        assert int(counts["ok"]) > 0
        assert int(counts["total"]) == len(errors) + int(counts["ok"])

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
        assert result.stderr == (f"corvane check: error: {locked}: folder cannot be listed: "
                                 "Permission denied\n")
        assert f"unreadable  {locked}: folder cannot be listed" in result.stdout
        assert "ok              2" in result.stdout

    @pytest.mark.parametrize("named", [False, True])
    def test_a_pipe_is_reported_not_opened(self, samples, named):
        os.mkfifo(samples / "pipe.png")
        result = corvane("check", samples / "pipe.png" if named else samples)
        assert result.returncode == 1
        assert result.stderr == (f"corvane check: error: {samples / 'pipe.png'}: "
                                 "not a regular file\n")

    def test_no_image_found_fails_with_an_empty_summary(self, tmp_path):
        result = corvane("check", tmp_path)
        assert result.returncode == 1
        assert result.stderr == "corvane check: error: no PNG or BMP files found\n"
        assert "total           0" in result.stdout


def test_ctrl_c_stops_the_command_with_status_130(tmp_path):
    """The command blocks reading a named pipe until it is interrupted."""
    pipe = tmp_path / "pipe.png"
    os.mkfifo(pipe)
    process = subprocess.Popen([sys.executable, "-m", "Corvane", "info", pipe],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while True:      # opening the writing end succeeds once the command reads
        try:
            writer = os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
    try:
        # A signal that lands just before the command enters read() interrupts
        # nothing; once it waits there, the next one does.
        for _ in range(12):
            process.send_signal(signal.SIGINT)
            with contextlib.suppress(subprocess.TimeoutExpired):
                stdout, stderr = process.communicate(timeout=5)
                break
        else:
            pytest.fail("the command went on after Ctrl-C")
    finally:
        os.close(writer)
        process.kill()
    assert process.returncode == 130
    assert stderr.strip() == "corvane info: interrupted" and stdout == ""


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
