"""Writing over an existing file: the writers reach the destination as
`open(path, "wb")` would, write a new file without a name beside the file
reached and give it the file's name, owner, mode and extended attributes only
once it is complete, so a write that fails (a full disk, a file size limit, an
interrupt, a kill) leaves the file as it was and nothing else behind.
Destinations that cannot be replaced so are written in place, after room for
the new contents has been reserved, and what callers see of a destination (who
may read it, a link, the errors for a bad path) stays as it was."""

import os
import pathlib
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap

import pytest

from Corvane import SimpleImage, simpleImage_ext as ext
from imagefiles import PNG_SIGNATURE, ihdr_data, parse_png
from subprocesses import PRELUDE, run_python

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


def written_afresh(writer: str, folder) -> bytes:
    """What `writer` puts in a new file."""
    write(writer, str(folder / "afresh"))
    return (folder / "afresh").read_bytes()


NOBODY = 65534
needs_root = pytest.mark.skipif(os.geteuid() != 0,
                                reason="needs root, to set up files of other users")


def write_as_nobody(writer: str, path):
    """`write(writer, path)` in a fresh interpreter that, once the module is
    imported, gives up root for good and goes on as the user and group `nobody`."""
    run_python(f"""
        import os
        path, pixels = {str(path)!r}, {PIXELS!r}
        os.setgroups([])
        os.setresgid({NOBODY}, {NOBODY}, {NOBODY})
        os.setresuid({NOBODY}, {NOBODY}, {NOBODY})
        {WRITERS[writer]}
    """)


@pytest.fixture
def open_folder():
    """A folder that every user may reach and write (unlike the test's own)."""
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o777)
    yield folder
    shutil.rmtree(folder)


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

    @pytest.mark.parametrize("destination", ["existing", "new"])
    def test_a_save_killed_while_writing_leaves_no_other_file(self, tmp_path, destination):
        # A signal that cannot be handled, sent as the first rows are written.
        path = tmp_path / "image"
        if destination == "existing":
            path.write_bytes(PREVIOUS)
        killed = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import os, signal
            from Corvane import SimpleImage
            image = SimpleImage(2500, 2500, bytes(2500 * 2500 * 3), bmp_header={{}})
            signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGKILL))
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            image.save({str(path)!r})
        """)], timeout=120)
        assert killed.returncode == -signal.SIGKILL
        if destination == "existing":
            assert path.read_bytes() == PREVIOUS and folder_holds_only(path)
        else:
            assert os.listdir(tmp_path) == []

    def test_a_folder_deeper_than_a_path_can_name_is_replaced_all_the_same(self, tmp_path):
        out = run_python(f"""
            import os, random
            os.chdir({str(tmp_path)!r})
            for _ in range(21):                     # a folder path of over 4,200 bytes
                os.mkdir("d" * 200)
                os.chdir("d" * 200)
            with open("image", "wb") as image:
                image.write({PREVIOUS!r})
            pixels = random.Random(0).randbytes(160 * 160 * 3)
            limit_file_size(30000)
            try:
                ext._writePng("image", 160, 160, pixels)
            except OSError as error:
                print(error.errno)
            print(open("image", "rb").read() == {PREVIOUS!r}, os.listdir("."))
        """)
        assert out.splitlines() == ["27", "True ['image']"]  # EFBIG, and nothing changed


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

    def test_a_file_with_two_names_survives_a_full_disk_under_both(self, small_disk):
        path, other = small_disk / "photo.png", small_disk / "other name"
        previous = os.urandom(100_000)
        path.write_bytes(previous)
        os.link(path, other)
        filler = os.open(small_disk / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(filler, bytes(65536)):
                pass
        except OSError:                        # the disk is full
            pass
        finally:
            os.close(filler)
        with pytest.raises(OSError) as raised:  # 300 KB of PNG, written in place
            ext._writePng(str(path), 320, 320, os.urandom(320 * 320 * 3))
        assert raised.value.errno == 28  # ENOSPC
        assert path.read_bytes() == previous and other.read_bytes() == previous
        assert os.path.samefile(path, other)

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

    @pytest.mark.parametrize("writer", WRITERS)
    def test_a_file_with_two_names_is_written_in_place_and_cut_to_size(self, tmp_path, existing,
                                                                      writer):
        existing.write_bytes(PREVIOUS * 1000)
        other = tmp_path / "other name"
        os.link(existing, other)
        write(writer, str(other))
        assert existing.read_bytes() == other.read_bytes() == written_afresh(writer, tmp_path)
        assert os.path.samefile(existing, other)

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


def access_acl(named_user: int) -> bytes:
    """The extended attribute that holds the ACL `user::rw-, user:<named_user>:rw-,
    group::---, mask::rw-, other::---`, in the kernel's format: a version, then
    (tag, permissions, id) entries in the order of their tags."""
    no_id = 0xFFFFFFFF
    entries = [(0x01, 6, no_id), (0x02, 6, named_user), (0x04, 0, no_id), (0x10, 6, no_id),
               (0x20, 0, no_id)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


def extended_attributes(path) -> dict[str, bytes]:
    return {name: os.getxattr(path, name) for name in os.listxattr(path)}


@needs_root
class TestWhoMayUseTheFile:
    def test_acl_entries_labels_and_attributes_go_with_the_new_file(self, existing):
        existing.chmod(0o660)
        try:
            os.setxattr(existing, "system.posix_acl_access", access_acl(1000))
        except OSError as error:
            pytest.skip(f"no ACLs here: {error}")
        for name in ("user.origin", "security.label", "trusted.note"):
            os.setxattr(existing, name, name.encode())
        before, attributes = existing.stat(), extended_attributes(existing)
        write("_writePng", str(existing))
        after = existing.stat()
        assert after.st_ino != before.st_ino  # replaced, not written in place
        assert extended_attributes(existing) == attributes and after.st_mode == before.st_mode

    def test_another_users_file_keeps_its_owner_and_is_written_in_place(self, open_folder):
        path = open_folder / "image"
        path.write_bytes(PREVIOUS * 1000)
        path.chmod(0o666)
        before = path.stat()
        write_as_nobody("_writeBmp", path)
        after = path.stat()
        assert (after.st_uid, after.st_gid, after.st_ino) == (0, 0, before.st_ino)
        assert path.read_bytes() == written_afresh("_writeBmp", open_folder)

    def test_an_attribute_the_new_file_may_not_take_keeps_the_file_in_place(self, open_folder):
        # Only a privileged process may set a security label.
        path = open_folder / "image"
        path.write_bytes(PREVIOUS * 1000)
        os.chown(path, NOBODY, NOBODY)
        os.setxattr(path, "security.label", b"kept")
        before = path.stat()
        write_as_nobody("_writePng", path)
        assert path.stat().st_ino == before.st_ino
        assert extended_attributes(path) == {"security.label": b"kept"}
        assert path.read_bytes() == written_afresh("_writePng", open_folder)


@pytest.fixture
def link_protections():
    """The kernel's protections of links and files in sticky world-writable
    folders (`fs.protected_symlinks`, `fs.protected_regular`), on for the test."""
    if os.geteuid() != 0:
        pytest.skip("turning the kernel's link protections on needs root")
    settings = [pathlib.Path("/proc/sys/fs", name)
                for name in ("protected_symlinks", "protected_regular")]
    saved = [setting.read_text() for setting in settings]
    try:
        for setting in settings:
            setting.write_text("1")
    except OSError as error:
        pytest.skip(f"cannot turn the link protections on: {error}")
    try:
        yield
    finally:
        for setting, value in zip(settings, saved):
            setting.write_text(value)


class TestLinkProtections:
    @pytest.mark.parametrize("planted", ["link", "file"])
    def test_what_another_user_planted_in_a_sticky_folder_is_refused_as_open_refuses_it(
            self, tmp_path, link_protections, planted):
        shared, private = tmp_path / "shared", tmp_path / "private"
        shared.mkdir()
        shared.chmod(0o1777)
        private.mkdir(mode=0o700)
        secret, path = private / "secret", shared / "image"
        secret.write_bytes(PREVIOUS)
        if planted == "link":
            path.symlink_to(secret)
            os.lchown(path, NOBODY, NOBODY)
        else:
            path.write_bytes(PREVIOUS)
            os.chown(path, NOBODY, NOBODY)
        with pytest.raises(PermissionError) as raised:
            write("_writeBmp", str(path))
        assert raised.value.filename == str(path)
        with pytest.raises(PermissionError):
            open(path, "wb")
        assert secret.read_bytes() == PREVIOUS and os.listdir(shared) == ["image"]
        assert planted == "link" or path.read_bytes() == PREVIOUS


class TestConcurrentSaves:
    def test_readers_see_one_complete_file_or_the_other(self, tmp_path):
        # Two processes of two threads each save two images in turn to one path.
        path = tmp_path / "image"
        images = [SimpleImage(64, 64, bytes([shade]) * (64 * 64 * 3)) for shade in (0, 255)]
        expected = set()
        for image in images:
            image.save(str(path))
            expected.add(path.read_bytes())
        saver = PRELUDE + textwrap.dedent(f"""
            import threading
            images = [SimpleImage(64, 64, bytes([shade]) * (64 * 64 * 3)) for shade in (0, 255)]
            def save(first):
                for turn in range(150):
                    images[(first + turn) % 2].save({str(path)!r})
            threads = [threading.Thread(target=save, args=(first,)) for first in (0, 1)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        """)
        savers = [subprocess.Popen([sys.executable, "-c", saver]) for _ in range(2)]
        reads = 0
        while any(saver.poll() is None for saver in savers):
            assert path.read_bytes() in expected
            reads += 1
        assert [saver.wait() for saver in savers] == [0, 0] and reads > 0
        assert folder_holds_only(path)
