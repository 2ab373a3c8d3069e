"""PNG image data compressed by the module's own deflate: the IDAT bytes are
exactly what `zlib.compress` returns for the filtered stream, whichever route
made them and on however many threads; `zlib.compress` itself is called, once
per save, where the own deflate must not stand in for it; and threads, forked
children and Ctrl-C meet no surprise.

Which route ran is observed from outside: a library preloaded into a child
interpreter (tests/kernels/zlib_shim.cpp) counts the streams that its zlib
compresses, and one variant makes zlib.compress write other streams, as an
interpreter built on another zlib would."""

import os
import random
import textwrap
import zlib

import pytest

from corpus import PNG_DIR, accepted_pngs, needs_corpus
from Corvane import SimpleImage, simpleImage_ext
from imagefiles import parse_png
from subprocesses import run_python

THREADS = len(os.sched_getaffinity(0))


def assert_image_data_is_zlib_compress(path) -> None:
    idat = b"".join(data for kind, data in parse_png(path.read_bytes()) if kind == b"IDAT")
    assert idat == zlib.compress(zlib.decompress(idat))


def photo_like(width: int, height: int, channels: int, seed: int) -> bytes:
    """Smooth gradients with grain: compresses about as a photo does."""
    rng = random.Random(seed)
    return bytes((x * 255 // width + y * 255 // height + c * 60 + rng.randrange(9)) & 255
                 for y in range(height) for x in range(width) for c in range(channels))


def large_image(seed: int = 0, filters: bytes | None = None) -> SimpleImage:
    """An RGBA image whose filtered stream is split over the threads."""
    width, height = 500, 300
    rgba = photo_like(width, height, 4, seed)
    pixels = bytearray(b"".join(rgba[i:i + 3] for i in range(0, len(rgba), 4)))
    image = SimpleImage(width, height, pixels, alpha=bytearray(rgba[3::4]))
    image._png_filters = bytearray(filters or bytes(i % 5 for i in range(height)))
    return image


class TestSameBytesAsZlibCompress:
    @needs_corpus
    @pytest.mark.parametrize("name", accepted_pngs())
    def test_corpus_images_through_both_writers(self, name, tmp_path):
        image = SimpleImage.open(PNG_DIR / name)
        image.save(str(tmp_path / "chunks.png"))
        simpleImage_ext._writePng(tmp_path / "plain.png", image.width, image.height, image.pixels,
                                  image._alpha, image._png_filters)
        for written in ("chunks.png", "plain.png"):
            assert_image_data_is_zlib_compress(tmp_path / written)

    @pytest.mark.parametrize("filter_type", range(5))
    def test_large_images_of_each_filter_type(self, filter_type, tmp_path):
        image = large_image(filter_type, bytes([filter_type]) * 300)
        simpleImage_ext._writePng(tmp_path / "plain.png", image.width, image.height, image.pixels,
                                  image._alpha, image._png_filters)
        assert_image_data_is_zlib_compress(tmp_path / "plain.png")

    @pytest.mark.parametrize("threads", sorted({1, 2, THREADS}))
    def test_every_thread_count_gives_the_same_file(self, threads, tmp_path):
        path = tmp_path / "image.png"
        run_python(f"""
            import os
            os.environ["CORVANE_THREADS"] = "{threads}"
            import random
            image = SimpleImage(600, 400, random.Random(1).randbytes(600 * 400 * 3))
            image.save({str(path)!r})
        """)
        assert_image_data_is_zlib_compress(path)

    def test_empty_and_tiny_streams(self, tmp_path):
        for width, height in [(0, 0), (0, 3), (1, 1), (16, 16)]:
            path = tmp_path / f"{width}x{height}.png"
            simpleImage_ext._writePng(path, width, height, bytes(width * height * 3))
            assert_image_data_is_zlib_compress(path)


def run_with_zlib_shim(shim, code: str) -> str:
    """Runs `code` in a child interpreter whose zlib is wrapped by `shim`;
    `streams()` there counts the streams its zlib has compressed so far."""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    source = f"""
        import ctypes, os, zlib
        streams = ctypes.CDLL(None).compressedStreams
        def image_data(path):
            data = open(path, "rb").read()
            idat, offset = b"", 8
            while offset < len(data):
                length = int.from_bytes(data[offset:offset + 4], "big")
                if data[offset + 4:offset + 8] == b"IDAT":
                    idat += data[offset + 8:offset + 8 + length]
                offset += 12 + length
            return idat
    """
    environment = dict(os.environ, LD_PRELOAD=preload)
    return run_python(textwrap.dedent(source) + textwrap.dedent(code), environment=environment)


@pytest.fixture(scope="module")
def zlib_counter(kernel_build):
    return kernel_build / "libzlib_counter.so"


@pytest.fixture(scope="module")
def zlib_of_another_level(kernel_build):
    return kernel_build / "libzlib_other_level.so"


SAVES = """
    image = SimpleImage(400, 300, bytes((x // 3 + (x * 7919) % 13 + (x >> 9)) & 255
                                        for x in range(400 * 300 * 3)))
    image.save({path!r})
    before = streams()
    for _ in range(3):
        image.save({path!r})
    print(streams() - before)
    stream = zlib.decompress(image_data({path!r}))
    print(image_data({path!r}) == zlib.compress(stream), image_data({path!r}) == zlib.compress(stream, 6))
"""


class TestWhoCompresses:
    def test_the_interpreters_zlib_compress_is_not_called(self, zlib_counter, tmp_path):
        out = run_with_zlib_shim(zlib_counter, SAVES.format(path=str(tmp_path / "a.png")))
        assert out.split() == ["0", "True", "True"]

    def test_a_zlib_that_writes_other_streams_is_called_once_per_save(self, zlib_of_another_level,
                                                                      tmp_path):
        out = run_with_zlib_shim(zlib_of_another_level, SAVES.format(path=str(tmp_path / "a.png")))
        assert out.split() == ["3", "True", "False"]

    def test_a_rebound_compress_is_called_once_per_save(self, restore_module_attributes,
                                                        monkeypatch, target):
        calls, original = [], zlib.compress

        def compress(data, /):
            calls.append(type(data))
            return original(data)

        monkeypatch.setattr(zlib, "compress", compress)
        image = large_image()
        image.save(str(target))
        simpleImage_ext._writePng(target, image.width, image.height, image.pixels)
        assert calls == [bytes, bytes]
        monkeypatch.undo()
        assert_image_data_is_zlib_compress(target)

    def test_a_replaced_zlib_module_is_called_once_per_save(self, restore_module_attributes,
                                                            target):
        calls = []

        class Zlib:
            decompress, crc32 = zlib.decompress, zlib.crc32

            @staticmethod
            def compress(data):
                calls.append(len(data))
                return zlib.compress(data)

        restore_module_attributes.zlib = Zlib
        large_image().save(str(target))
        assert calls == [300 * (500 * 4 + 1)]


class TestThreadsAndProcesses:
    def test_eight_threads_saving_at_once_share_one_pool(self, tmp_path):
        out = run_python(f"""
            import os, random, threading, zlib
            from concurrent.futures import ThreadPoolExecutor
            def save(index):
                image = SimpleImage(500, 400, random.Random(index).randbytes(500 * 400 * 3))
                path = os.path.join({str(tmp_path)!r}, f"{{index}}.png")
                image.save(path)
                return path
            with ThreadPoolExecutor(8) as executor:
                paths = list(executor.map(save, range(8)))
            native = len(os.listdir("/proc/self/task")) - threading.active_count()
            print(native)
        """)
        assert int(out) <= THREADS - 1
        for index in range(8):
            assert_image_data_is_zlib_compress(tmp_path / f"{index}.png")

    def test_one_thread_starts_no_worker(self, tmp_path):
        out = run_python(f"""
            import os, threading
            os.environ["CORVANE_THREADS"] = "1"
            SimpleImage(600, 400, bytes(600 * 400 * 3)).save({str(tmp_path / "a.png")!r})
            print(len(os.listdir("/proc/self/task")) - threading.active_count())
        """)
        assert out.split() == ["0"]

    def test_a_forked_child_saves_while_the_parent_is_saving(self, tmp_path):
        out = run_python(f"""
            import os, random, threading, warnings
            warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
            image = SimpleImage(500, 400, random.Random(2).randbytes(500 * 400 * 3))
            image.save({str(tmp_path / "parent.png")!r})
            busy = threading.Thread(target=lambda: [image.save({str(tmp_path / "busy.png")!r})
                                                    for _ in range(3)])
            busy.start()
            child = os.fork()
            if child == 0:
                image.save({str(tmp_path / "child.png")!r})
                os._exit(0)
            busy.join()
            print(os.waitpid(child, 0)[1])
        """)
        assert out.split() == ["0"]
        for name in ("parent.png", "busy.png", "child.png"):
            assert_image_data_is_zlib_compress(tmp_path / name)

    def test_ctrl_c_while_compressing_leaves_the_destination(self, existing):
        out = run_python(f"""
            import os, random, signal, threading
            # Random pixels compress at about 40 MB/s on two threads: 36 MB take
            # most of a second, the rows' filtering a few hundredths of it.
            image = SimpleImage(4000, 3000, random.Random(3).randbytes(4000 * 3000 * 3))
            threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                image.save({str(existing.path)!r})
            except KeyboardInterrupt:
                print("interrupted")
        """)
        assert out.split() == ["interrupted"]
        assert existing.path.read_bytes() == existing.CONTENTS
        assert os.listdir(existing.path.parent) == [existing.path.name]
