"""Writing over an existing file: the writers write a temporary file beside it
and give it the file's name only once it is complete, so a write that fails
(a full disk, a file size limit, an interrupt) leaves the file as it was and
nothing else behind. Destinations that cannot be replaced so are written in
place, and what callers see of a destination (its mode, its owner, a link, the
errors for a bad path) stays as it was."""

import os
import stat
import subprocess
import sys

import pytest

from Corvane import SimpleImage, simpleImage_ext as ext
from imagefiles import PNG_SIGNATURE, ihdr_data, parse_png
from subprocesses import run_python

PIXELS = bytes(range(2 * 2 * 3))
CHUNKS = [(b"IHDR", ihdr_data(2, 2), 13), (b"IDAT", None, 0), (b"IEND", b"", 0)]
PREVIOUS = b"previous contents"

# Each writes a 2 x 2 image to `path`; their failures are tried in child
# processes, which get the same calls as source text.
WRITERS = {
    "_writePng": "ext._writePng(path, 2, 2, pixels)",
    "_writePngWithChunks": f"ext._writePngWithChunks(path, 2, 2, pixels, None, {CHUNKS!r})",
    "_writeBmp": "ext._writeBmp(path, 2, 2, pixels)",
}


def write(writer: str, path, pixels=PIXELS):
    eval(WRITERS[writer], {"ext": ext, "path": path, "pixels": pixels})


def folder_holds_only(path) -> bool:
    return os.listdir(path.parent) == [path.name]


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "image"
    path.write_bytes(PREVIOUS)
    return path


class TestFailuresWhileWriting:
    @pytest.mark.parametrize("writer", WRITERS)
    def test_a_file_size_limit_leaves_the_file_and_no_other(self, existing, writer):
        # 160 x 160 pixels of noise make files of about 77 KB, beyond the limit.
        out = run_python(f"""
            import random
            path, pixels = {str(existing)!r}, random.Random(0).randbytes(160 * 160 * 3)
            limit_file_size(30000)
            try:
                {WRITERS[writer].replace("2, 2", "160, 160")}
            except OSError as error:
                print(error.errno)
        """)
        assert out.split() == ["27"]  # EFBIG
        assert existing.read_bytes() == PREVIOUS and folder_holds_only(existing)

    @pytest.mark.parametrize("side_data", ["", "bmp_header={}",
                                           "png_chunks=[(b'IHDR', bytes(13), 13)]"])
    def test_an_interrupt_during_save_leaves_the_file_and_no_other(self, existing,
                                                                   side_data):
        # Compressing 2500 x 2500 pixels takes far longer than the timer; the
        # interrupt is raised at the first write, a BMP's within its first rows.
        out = run_python(f"""
            import random
            def interrupt(signum, frame):
                raise KeyboardInterrupt
            image = SimpleImage(2500, 2500, random.Random(0).randbytes(2500 * 2500 * 3),
                                {side_data})
            signal.signal(signal.SIGALRM, interrupt)
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            try:
                image.save({str(existing)!r})
            except KeyboardInterrupt:
                print("interrupted")
        """)
        assert out.split() == ["interrupted"]
        assert existing.read_bytes() == PREVIOUS and folder_holds_only(existing)


def mounted(*arguments):
    """Runs mount with `arguments` (the last one the mount point) and unmounts
    when the test ends; skips the test unless root may mount."""
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    done = subprocess.run(["mount", *map(str, arguments)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount: {done.stderr.decode().strip()}")
    yield arguments[-1]
    subprocess.run(["umount", str(arguments[-1])], check=True)


@pytest.fixture
def small_disk(tmp_path):
    """A 512 KiB file system of 16 inodes."""
    (tmp_path / "disk").mkdir()
    yield from mounted("-t", "tmpfs", "-o", "size=512k,nr_inodes=16", "tmpfs", tmp_path / "disk")


@pytest.fixture
def mount_point(existing):
    """A file on which another file is mounted: it cannot be renamed over."""
    mounted_file = existing.with_name("mounted")
    mounted_file.write_bytes(PREVIOUS)
    yield from mounted("--bind", existing, mounted_file)


class TestFullDisk:
    def test_an_edit_saved_in_place_without_room_for_a_copy_keeps_the_source(self,
                                                                            small_disk):
        path = small_disk / "photo.png"
        noise = os.urandom(320 * 320 * 3)      # incompressible: 300 KB of PNG
        ext._writePng(str(path), 320, 320, noise)
        source = path.read_bytes()
        image = SimpleImage.open(str(path))
        image._putPixel((0, 0), (1, 2, 3))
        with pytest.raises(OSError) as raised:
            image.save(str(path))
        assert raised.value.errno == 28  # ENOSPC
        assert path.read_bytes() == source and folder_holds_only(path)

    def test_a_folder_without_room_for_a_new_file_is_written_in_place(self, small_disk):
        for i in range(16):
            name = small_disk / f"{i}.png"
            try:
                name.write_bytes(PREVIOUS)
            except OSError:                    # every inode taken: no new file fits
                break
        write("_writePng", str(small_disk / "0.png"))
        assert parse_png((small_disk / "0.png").read_bytes())[0][0] == b"IHDR"


class TestWhatCallersSee:
    @pytest.mark.parametrize("writer", WRITERS)
    def test_a_complete_write_replaces_the_file_and_leaves_no_other(self, existing, writer):
        write(writer, str(existing))
        assert existing.read_bytes()[:2] in (PNG_SIGNATURE[:2], b"BM")
        assert folder_holds_only(existing)

    @pytest.mark.parametrize("mode", [0o600, 0o640, 0o755])
    def test_the_replaced_file_keeps_its_mode_and_owner(self, existing, mode):
        existing.chmod(mode)
        if os.geteuid() == 0:
            os.chown(existing, 4321, 8765)
        write("_writePng", str(existing))
        status = existing.stat()
        assert stat.S_IMODE(status.st_mode) == mode
        assert os.geteuid() != 0 or (status.st_uid, status.st_gid) == (4321, 8765)

    def test_a_link_stays_a_link_and_its_target_is_replaced(self, tmp_path, existing):
        (tmp_path / "sub").mkdir()
        link = tmp_path / "sub" / "link"
        link.symlink_to("../image")
        write("_writeBmp", str(link))
        assert link.is_symlink() and existing.read_bytes()[:2] == b"BM"
        assert sorted(os.listdir(tmp_path)) == ["image", "sub"] and os.listdir(link.parent) == [
            "link"]

    def test_a_mount_point_is_written_in_place(self, mount_point, existing):
        write("_writePngWithChunks", str(mount_point))
        assert existing.read_bytes() == mount_point.read_bytes()
        assert parse_png(existing.read_bytes())[0][0] == b"IHDR"
        assert sorted(os.listdir(existing.parent)) == ["image", "mounted"]

    def test_a_file_with_two_names_is_written_in_place(self, tmp_path, existing):
        other = tmp_path / "other name"
        os.link(existing, other)
        write("_writePng", str(other))
        assert existing.read_bytes() == other.read_bytes() and os.path.samefile(existing, other)

    @pytest.mark.parametrize("writer", WRITERS)
    def test_devices_and_descriptors_are_written_in_place(self, tmp_path, writer):
        write(writer, os.devnull)
        with pytest.raises(OSError) as raised:
            write(writer, "/dev/full")
        assert raised.value.errno == 28
        descriptor = os.open(tmp_path / "by descriptor", os.O_WRONLY | os.O_CREAT)
        write(writer, descriptor)
        with pytest.raises(OSError):  # closed by the writer, as `open` does
            os.close(descriptor)
        assert (tmp_path / "by descriptor").stat().st_size > 0

    def test_standard_output_is_written_in_place_even_when_it_is_a_file(self, tmp_path):
        # /dev/stdout leads through /proc to the file the process holds open.
        path = tmp_path / "output"
        with open(path, "wb") as output:
            subprocess.run([sys.executable, "-c",
                            "from Corvane import simpleImage_ext as ext\n"
                            "ext._writeBmp('/dev/stdout', 1, 1, b'abc')"],
                           stdout=output, check=True)
            assert os.path.samefile(path, f"/proc/self/fd/{output.fileno()}")
        assert path.read_bytes()[:2] == b"BM" and folder_holds_only(path)

    def test_a_path_like_object_is_asked_for_its_path_once(self, target):
        class Counted:
            calls = 0

            def __fspath__(self):
                Counted.calls += 1
                return os.fsencode(target)

        write("_writeBmp", Counted())
        assert Counted.calls == 1 and target.read_bytes()[:2] == b"BM"

    @pytest.mark.parametrize("name, error", [
        ("missing/image.png", FileNotFoundError),
        (".", IsADirectoryError),
    ])
    def test_errors_name_the_destination(self, tmp_path, name, error):
        path = str(tmp_path / name)
        with pytest.raises(error) as raised:
            write("_writePng", path)
        assert raised.value.filename == path
