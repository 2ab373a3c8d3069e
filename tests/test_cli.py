"""The `corvane` command, run as a user runs it: through a subprocess, judged by
its output and exit status."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import Corvane
from Corvane.simpleImage_ext import SimpleImage
from imagefiles import make_png, parse_png

SAMPLES = Path(Corvane.__file__).parent / "samples"


def corvane(*arguments, cwd=None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "Corvane", *map(str, arguments)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.fixture
def samples(tmp_path):
    for sample in SAMPLES.iterdir():
        shutil.copy(sample, tmp_path)
    return tmp_path


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

    def test_a_missing_file_names_the_problem_without_a_traceback(self, tmp_path):
        result = corvane("info", tmp_path / "absent.png")
        assert result.returncode == 1
        assert result.stderr.strip().endswith("absent.png: No such file or directory")
        assert "Traceback" not in result.stderr


class TestEdit:
    def test_png_edit_changes_pixels_and_keeps_every_other_chunk(self, samples):
        source, target = samples / "gradient.png", samples / "edited.png"
        result = corvane("edit", source, target, "--set", "1,2=9,8,7",
                         "--fill", "10,10,12,11=1,2,3")
        assert result.returncode == 0, result.stderr
        assert "7 pixel(s) changed" in result.stdout
        assert "only the pixel data changed" in result.stdout
        edited = SimpleImage.open(str(target))
        assert edited._getPixel((1, 2)) == (9, 8, 7)
        assert edited._getPixel((12, 11)) == (1, 2, 3)
        assert edited._png_filters == SimpleImage.open(str(source))._png_filters
        keep = [c for c in parse_png(source.read_bytes()) if c[0] != b"IDAT"]
        assert [c for c in parse_png(target.read_bytes()) if c[0] != b"IDAT"] == keep

    def test_bmp_edit_stays_bmp_with_its_resolution(self, samples):
        target = samples / "edited.png"          # the name does not choose the format
        assert corvane("edit", samples / "gradient.bmp", target,
                       "--set", "0,0=1,2,3").returncode == 0
        edited = SimpleImage.open(str(target))
        assert edited._bmp_header["xppm"] == 3780 and edited._getPixel((0, 0)) == (1, 2, 3)

    @pytest.mark.parametrize("arguments, message", [
        (["--set", "64,0=1,2,3"], "lies outside the 64x48 image"),
        ([], "nothing to change"),
    ])
    def test_impossible_edits_fail_cleanly(self, samples, arguments, message):
        result = corvane("edit", samples / "gradient.png", samples / "out.png", *arguments)
        assert result.returncode == 1 and message in result.stderr
        assert not (samples / "out.png").exists()

    @pytest.mark.parametrize("option", ["--set=1,2=3,4", "--set=1,2=300,0,0", "--fill=1,2=3,4,5"])
    def test_malformed_options_are_usage_errors(self, samples, option):
        result = corvane("edit", samples / "gradient.png", samples / "out.png", option)
        assert result.returncode == 2 and "Traceback" not in result.stderr


class TestCheck:
    def test_round_trip_of_good_files_exits_0_with_a_summary(self, samples):
        result = corvane("check", "--roundtrip", samples)
        assert result.returncode == 0, result.stdout
        assert "ok              2" in result.stdout and "total           2" in result.stdout

    def test_unreadable_files_are_listed_and_make_the_run_fail(self, samples):
        (samples / "sub").mkdir()
        (samples / "sub" / "grey.png").write_bytes(make_png(1, 1, b"abc")[:20])
        result = corvane("check", "-j", "2", samples)
        assert result.returncode == 1
        assert "unreadable" in result.stdout and "grey.png" in result.stdout
        assert "ok              2" in result.stdout

    def test_files_that_are_not_images_by_name_are_skipped_in_folders(self, samples):
        (samples / "readme.txt").write_text("not an image")
        assert corvane("check", samples).returncode == 0

    def test_a_folder_without_images_is_an_error(self, tmp_path):
        result = corvane("check", tmp_path)
        assert result.returncode == 1 and "no PNG or BMP files found" in result.stderr


def test_no_command_is_a_usage_error():
    assert corvane().returncode == 2


def test_console_script_runs_the_same_command():
    script = Path(sys.executable).parent / "corvane"
    result = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "info" in result.stdout
