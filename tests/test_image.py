"""The image object: construction, attributes, pixel access, copying and the
refusal to be pickled."""

import copy
import gc
import pickle
import weakref

import pytest

from Corvane.simpleImage_ext import SimpleImage
from subprocesses import SANITIZED, run_python


def black(width: int, height: int, **side_data) -> SimpleImage:
    return SimpleImage(width, height, bytes(width * height * 3), **side_data)


class TestConstruction:
    def test_minimal_image_has_no_side_data(self):
        image = black(2, 1)
        assert image.size == (2, 1)
        assert image._getPixel((1, 0)) == (0, 0, 0)
        assert (image._alpha, image._png_chunks, image._png_filters, image._bmp_header) == (
            None, None, None, None)

    def test_every_container_is_copied(self):
        pixels, alpha, filters = bytearray(6), bytearray(2), bytearray(1)
        chunks, header = [(b"IEND", b"", 0)], {"xppm": 1}
        image = SimpleImage(2, 1, pixels, alpha, chunks, header, filters)
        pixels[0] = alpha[0] = filters[0] = 9
        chunks.append(None)
        header["yppm"] = 2
        assert image.pixels == bytearray(6) and image.pixels is not pixels
        assert image._alpha == bytearray(2) and image._png_filters == bytearray(1)
        assert image._png_chunks == [(b"IEND", b"", 0)] and image._bmp_header == {"xppm": 1}

    def test_containers_are_normalised_to_their_stored_types(self):
        image = SimpleImage(1, 2, [1, 2, 3, 4, 5, 6], memoryview(b"ab"),
                            iter([("a", 1)]), [("xppm", 5)], b"\x01\x02")
        assert type(image.pixels) is bytearray and image.pixels == bytearray([1, 2, 3, 4, 5, 6])
        assert type(image._alpha) is bytearray and type(image._png_filters) is bytearray
        assert image._png_chunks == [("a", 1)] and image._bmp_header == {"xppm": 5}

    def test_arguments_may_be_given_by_keyword_in_any_order(self):
        image = SimpleImage(png_filters=b"\x04", pixels=bytes(3), height=1, width=1)
        assert image._png_filters == bytearray(b"\x04")

    @pytest.mark.parametrize("width, expected", [(2.9, 2), (True, 1), (-0.5, 0)])
    def test_dimensions_are_converted_through_int(self, width, expected):
        image = SimpleImage(width, 1, bytes(3 * expected))
        assert image.width == expected

    def test_dimension_with_dunder_int_is_accepted(self):
        class Two:
            def __int__(self):
                return 2
        assert SimpleImage(Two(), 1, bytes(6)).size == (2, 1)

    @pytest.mark.parametrize("width, error, message", [
        ("2", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-2**31 - 1, OverflowError, "value too large to convert to int"),
    ])
    def test_unconvertible_dimensions_are_refused(self, width, error, message):
        with pytest.raises(error) as raised:
            SimpleImage(width, 0, b"")
        assert str(raised.value) == message

    def test_width_is_converted_before_height(self):
        with pytest.raises(OverflowError):
            SimpleImage(2**40, "x", b"")

    def test_extreme_dimensions_are_valid_when_the_product_matches(self):
        assert SimpleImage(-2**31, 0, b"").size == (-2**31, 0)
        assert SimpleImage(0, 0, b"").size == (0, 0)

    @pytest.mark.parametrize("width, height", [(65536, 65536), (2**31 - 1, 2**31 - 1),
                                               (2**16, 2**15)])
    def test_length_products_do_not_wrap_around(self, width, height):
        with pytest.raises(ValueError, match="^Pixel data length does not match image dimensions$"):
            SimpleImage(width, height, b"")

    @pytest.mark.parametrize("arguments, message", [
        ((2, 2, bytes(11)), "Pixel data length does not match image dimensions"),
        ((2, 2, bytes(12), bytes(3)), "Alpha channel length does not match image dimensions"),
        ((2, 2, bytes(12), None, None, None, bytes(3)),
         "PNG filter count does not match image height"),
    ])
    def test_length_mismatches_are_refused(self, arguments, message):
        with pytest.raises(ValueError) as raised:
            SimpleImage(*arguments)
        assert str(raised.value) == message

    def test_pixels_are_checked_before_alpha_and_filters(self):
        with pytest.raises(ValueError, match="^Pixel data"):
            SimpleImage(1, 1, b"", b"", None, None, b"xx")

    @pytest.mark.parametrize("arguments, error, message", [
        ((1, 1, iter(b"abc")), TypeError, "object of type 'bytes_iterator' has no len()"),
        ((1, 1, [0, 0, 300]), ValueError, "byte must be in range(0, 256)"),
        ((1, 1, bytes(3), None, 5), TypeError, "'int' object is not iterable"),
        ((1, 1, bytes(3), None, None, 5), TypeError, "'int' object is not iterable"),
        ((1, 1, bytes(3), 7), TypeError, "object of type 'int' has no len()"),
    ])
    def test_interpreter_errors_of_conversions_pass_through(self, arguments, error, message):
        with pytest.raises(error) as raised:
            SimpleImage(*arguments)
        assert str(raised.value) == message

    @pytest.mark.parametrize("call, message", [
        (lambda: SimpleImage(), "SimpleImage() takes at least 3 positional arguments (0 given)"),
        (lambda: SimpleImage(1, 1),
         "SimpleImage() takes at least 3 positional arguments (2 given)"),
        (lambda: SimpleImage(1, 1, b"abc", None, None, None, None, None),
         "SimpleImage() takes at most 7 positional arguments (8 given)"),
        (lambda: SimpleImage(1, pixels=b"abc"),
         "SimpleImage() takes at least 3 positional arguments (1 given)"),
        (lambda: SimpleImage(1, 1, b"abc", colour=1),
         "SimpleImage() got an unexpected keyword argument 'colour'"),
        (lambda: SimpleImage(1, 1, b"abc", width=1),
         "SimpleImage() got multiple values for keyword argument 'width'"),
    ])
    def test_argument_errors_use_the_standard_wording(self, call, message):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message


class TestAttributes:
    def test_size_is_read_only(self):
        image = black(1, 1)
        with pytest.raises(AttributeError):
            image.size = (2, 2)
        with pytest.raises(AttributeError):
            del image.size

    def test_assigning_dimensions_converts_without_resizing(self):
        image = black(2, 1)
        image.width = 1.7
        assert image.size == (1, 1) and len(image.pixels) == 6
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            image.height = 2**31
        with pytest.raises(TypeError, match="^an integer is required$"):
            image.height = "1"

    @pytest.mark.parametrize("name", ["width", "height"])
    def test_dimensions_cannot_be_deleted(self, name):
        with pytest.raises(NotImplementedError) as raised:
            delattr(black(1, 1), name)
        assert str(raised.value) == "__del__"

    def test_pixels_hands_out_the_stored_buffer(self):
        image = black(1, 1)
        image.pixels[0] = 200
        assert image._getPixel((0, 0)) == (200, 0, 0)

    @pytest.mark.parametrize("value, type_name", [
        (bytes(3), "bytes"), (memoryview(bytearray(3)), "memoryview"), ([0, 0, 0], "list")])
    def test_pixels_only_take_an_exact_bytearray(self, value, type_name):
        with pytest.raises(TypeError) as raised:
            black(1, 1).pixels = value
        assert str(raised.value) == f"Expected bytearray, got {type_name}"

    def test_pixels_refuse_a_bytearray_subclass(self):
        class Buffer(bytearray):
            pass
        with pytest.raises(TypeError, match="^Expected bytearray, got Buffer$"):
            black(1, 1).pixels = Buffer(3)

    def test_pixels_can_be_replaced_cleared_and_deleted(self):
        image = black(1, 1)
        replacement = bytearray(b"xyz")
        image.pixels = replacement
        assert image.pixels is replacement
        image.pixels = None
        assert image.pixels is None
        image.pixels = replacement
        del image.pixels
        assert image.pixels is None

    @pytest.mark.parametrize("name", ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"])
    def test_side_data_takes_any_object_and_deletion_clears_it(self, name):
        image = black(1, 1)
        anything = object()
        setattr(image, name, anything)
        assert getattr(image, name) is anything
        delattr(image, name)
        assert getattr(image, name) is None

    def test_instances_have_no_other_attributes(self):
        image = black(1, 1)
        with pytest.raises(AttributeError):
            image.colour = 1
        assert not hasattr(image, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(image)

    def test_equality_and_hash_are_identity(self):
        a, b = black(1, 1), black(1, 1)
        assert a != b and a == a
        assert hash(a) == object.__hash__(a)


class TestPixelAccess:
    def test_pixel_bytes_are_addressed_row_by_row(self):
        image = SimpleImage(3, 2, bytes(range(18)))
        assert image._getPixel((2, 1)) == (15, 16, 17)
        image._putPixel((1, 1), (7, 8, 9))
        assert image.pixels[12:15] == bytearray([7, 8, 9])

    @pytest.mark.parametrize("value, stored", [
        ((256, -1, 300), [0, 255, 44]),
        ((1.9, "7", 3), [1, 7, 3]),
        ([2**70 + 5, -(2**70) - 1, True], [5, 255, 1]),
        (iter([1, 2, 3]), [1, 2, 3]),
    ])
    def test_components_are_converted_and_reduced_modulo_256(self, value, stored):
        image = black(1, 1)
        image._putPixel(coords=(0, 0), value=value)
        assert list(image.pixels) == stored

    def test_alpha_plane_is_never_touched(self):
        image = SimpleImage(1, 1, bytes(3), b"\x05")
        image._putPixel((0, 0), (1, 2, 3))
        assert image._alpha == bytearray(b"\x05")

    @pytest.mark.parametrize("value, message", [
        ((1, 2, 3, 4), "too many values to unpack (expected 3)"),
        ((1, 2), "need more than 2 values to unpack"),
        (iter([1]), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ])
    def test_value_must_have_three_components(self, value, message):
        image = SimpleImage(1, 1, b"abc")
        with pytest.raises(ValueError) as raised:
            image._putPixel((0, 0), value)
        assert str(raised.value) == message
        assert image.pixels == bytearray(b"abc")

    def test_a_failing_component_leaves_earlier_ones_written(self):
        image = black(1, 1)
        with pytest.raises(TypeError):
            image._putPixel((0, 0), (10, None, 5))
        assert list(image.pixels) == [10, 0, 0]

    def test_non_iterable_value_writes_nothing(self):
        image = black(1, 1)
        with pytest.raises(TypeError, match="'int' object is not iterable"):
            image._putPixel((0, 0), 5)

    @pytest.mark.parametrize("coords, type_name", [([0, 0], "list"), (None, "NoneType")])
    def test_coords_must_be_exactly_a_tuple(self, coords, type_name):
        for method in (lambda c: black(1, 1)._getPixel(c),
                       lambda c: black(1, 1)._putPixel(c, (0, 0, 0))):
            with pytest.raises(TypeError) as raised:
                method(coords)
            assert str(raised.value) == (
                f"Argument 'coords' has incorrect type (expected tuple, got {type_name})")
            assert not getattr(raised.value, "__notes__", None)

    def test_tuple_subclass_is_refused_with_a_note(self):
        class Point(tuple):
            pass
        with pytest.raises(TypeError) as raised:
            black(1, 1)._getPixel(Point((0, 0)))
        assert str(raised.value) == (
            "Argument 'coords' has incorrect type (expected tuple, got Point)")
        assert "ubclasses of built-in types are refused" in raised.value.__notes__[0]

    @pytest.mark.parametrize("coords, message", [
        ((0,), "need more than 1 value to unpack"),
        ((0, 0, 0), "too many values to unpack (expected 2)"),
    ])
    def test_coords_must_have_two_items(self, coords, message):
        with pytest.raises(ValueError) as raised:
            black(1, 1)._getPixel(coords)
        assert str(raised.value) == message

    @pytest.mark.parametrize("coords", [(2, 0), (0, 2), (-1, 0), (0, -1), (10**30, 0)])
    def test_coordinates_outside_the_image_are_refused(self, coords):
        image = black(2, 2)
        for call in (lambda: image._getPixel(coords),
                     lambda: image._putPixel(coords, (1, 2, 3))):
            with pytest.raises(ValueError) as raised:
                call()
            assert str(raised.value) == "Pixel coordinate out of bounds"
        assert image.pixels == bytearray(12)

    def test_bounds_are_tested_before_the_value_is_unpacked(self):
        with pytest.raises(ValueError, match="^Pixel coordinate out of bounds$"):
            black(1, 1)._putPixel((1, 0), (1, 2, 3, 4))

    def test_empty_image_has_no_pixel(self):
        with pytest.raises(ValueError, match="^Pixel coordinate out of bounds$"):
            SimpleImage(0, 0, b"")._getPixel((0, 0))

    def test_coordinates_follow_ordinary_python_semantics(self):
        image = SimpleImage(2, 1, bytes(range(6)))
        assert image._getPixel((True, False)) == (3, 4, 5)
        with pytest.raises(TypeError, match="bytearray indices must be integers"):
            image._getPixel((0.5, 0))

    def test_reassigned_dimensions_address_the_unchanged_buffer(self):
        image = SimpleImage(2, 1, bytes(range(6)))
        image.width, image.height = 1, 2
        assert image._getPixel((0, 1)) == (3, 4, 5)
        image.height = 3
        with pytest.raises(IndexError, match="^bytearray index out of range$"):
            image._getPixel((0, 2))

    def test_a_buffer_too_short_for_the_last_components_fails_after_writing_the_first(self):
        image = black(1, 1)
        image.pixels = bytearray(1)
        with pytest.raises(IndexError, match="^bytearray index out of range$"):
            image._putPixel((0, 0), (7, 8, 9))
        assert image.pixels == bytearray([7])

    def test_a_component_is_converted_before_the_buffer_it_goes_to_is_fetched(self):
        image = black(1, 1)
        original, replacement = image.pixels, bytearray(3)

        class Replacing:
            def __int__(self):
                image.pixels = replacement
                return 7

        image._putPixel((0, 0), (Replacing(), 8, 9))
        assert (original, replacement) == (bytearray(3), bytearray([7, 8, 9]))

    @pytest.mark.parametrize("axis", ["x", "y"])
    def test_a_dimension_is_read_when_the_coordinate_is_compared_with_it(self, axis):
        image = black(2, 2)
        bounds = []

        class Coordinate:
            def __ge__(self, zero):  # 0 <= coordinate, which then changes the image
                image.width, image.height = 5, 7
                return True

            def __lt__(self, bound):
                bounds.append(bound)
                return False

        coords = (Coordinate(), 0) if axis == "x" else (0, Coordinate())
        with pytest.raises(ValueError, match="^Pixel coordinate out of bounds$"):
            image._putPixel(coords, (1, 2, 3))
        assert bounds == [5 if axis == "x" else 7]

    def test_cleared_pixel_buffer_fails_as_indexing_none(self):
        image = black(1, 1)
        image.pixels = None
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            image._getPixel((0, 0))

    @pytest.mark.parametrize("call, message", [
        (lambda i: i._getPixel(), "_getPixel() takes exactly 1 positional argument (0 given)"),
        (lambda i: i._getPixel((0, 0), 1),
         "_getPixel() takes exactly 1 positional argument (2 given)"),
        (lambda i: i._putPixel((0, 0)),
         "_putPixel() takes exactly 2 positional arguments (1 given)"),
        (lambda i: i._putPixel((0, 0), (1, 2, 3), None),
         "_putPixel() takes exactly 2 positional arguments (3 given)"),
        (lambda i: i._putPixel((0, 0), coords=(0, 0)),
         "_putPixel() takes exactly 2 positional arguments (1 given)"),
        (lambda i: i._putPixel((0, 0), value=(1, 2, 3), coords=(0, 0)),
         "_putPixel() got multiple values for keyword argument 'coords'"),
        (lambda i: i._getPixel(xy=(0, 0)), "_getPixel() takes exactly 1 positional argument (0 given)"),
        (lambda i: i._getPixel((0, 0), xy=1), "_getPixel() got an unexpected keyword argument 'xy'"),
        (lambda i: i._copy(1), "SimpleImage._copy() takes no arguments (1 given)"),
    ])
    def test_argument_errors_use_the_standard_wording(self, call, message):
        with pytest.raises(TypeError) as raised:
            call(black(1, 1))
        assert str(raised.value) == message


class TestCopy:
    def test_copy_is_independent_of_its_source(self):
        source = SimpleImage(1, 1, b"abc", b"\x01", [(b"IEND", b"", 0)], {"xppm": 1}, b"\x02")
        duplicate = source._copy()
        duplicate._putPixel((0, 0), (0, 0, 0))
        duplicate._alpha[0] = duplicate._png_filters[0] = 0
        duplicate._png_chunks.clear()
        duplicate._bmp_header.clear()
        assert source._getPixel((0, 0)) == (97, 98, 99)
        assert (source._alpha, source._png_filters) == (bytearray(b"\x01"), bytearray(b"\x02"))
        assert source._png_chunks == [(b"IEND", b"", 0)] and source._bmp_header == {"xppm": 1}

    def test_chunk_entries_are_shared(self):
        entry = (b"tEXt", b"x", 1)
        assert SimpleImage(0, 0, b"", png_chunks=[entry])._copy()._png_chunks[0] is entry

    def test_copy_of_a_subclass_instance_is_a_plain_image(self):
        class Photo(SimpleImage):
            pass
        assert type(Photo(1, 1, bytes(3))._copy()) is SimpleImage

    def test_copy_revalidates_through_the_constructor(self):
        image = black(2, 1)
        image.width = 1
        with pytest.raises(ValueError, match="^Pixel data length does not match image dimensions$"):
            image._copy()
        assert image._getPixel((0, 0)) == (0, 0, 0)

    def test_replaced_side_data_is_copied_by_slicing(self):
        image = black(1, 1)
        image._png_filters = b"\x03"
        image._bmp_header = [("xppm", 3)]
        duplicate = image._copy()
        assert duplicate._png_filters == bytearray(b"\x03") and duplicate._bmp_header == {"xppm": 3}
        image._alpha = 5
        with pytest.raises(TypeError, match="'int' object is not subscriptable"):
            image._copy()


class TestPickling:
    MESSAGE = "no default __reduce__ due to non-trivial __cinit__"

    @pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy,
                                           lambda image: image.__reduce__(),
                                           lambda image: image.__setstate__(None)])
    def test_images_refuse_to_be_pickled_or_copied_by_the_copy_module(self, operation):
        with pytest.raises(TypeError) as raised:
            operation(black(1, 1))
        assert str(raised.value) == self.MESSAGE

    def test_setstate_binds_its_argument_first(self):
        with pytest.raises(TypeError,
                           match=r"^__setstate__\(\) takes exactly 1 positional argument \(0 given\)$"):
            black(1, 1).__setstate__()


class TestSubclassesAndGarbageCollection:
    def test_subclass_constructor_arguments_go_to_the_construction_step(self):
        class Tagged(SimpleImage):
            def __init__(self, *args, **kwargs):
                self.tag = len(args)
        image = Tagged(1, 1, b"abc")
        assert image.tag == 3 and image._getPixel((0, 0)) == (97, 98, 99)
        with pytest.raises(TypeError, match="unexpected keyword argument 'tag'"):
            Tagged(1, 1, b"abc", tag="y")

    @pytest.mark.parametrize("field", ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"])
    def test_reference_cycles_through_side_data_are_collected(self, field):
        class Traced(SimpleImage):
            pass
        image = Traced(1, 1, bytes(3))
        setattr(image, field, [image])
        alive = weakref.ref(image)
        del image
        gc.collect()
        assert alive() is None

    def test_collector_sees_side_data_but_not_the_pixel_buffer(self):
        side = [bytearray(1), [], bytearray(1), {}]
        image = SimpleImage(1, 1, bytes(3), side[0], side[1], side[3], side[2])
        referents = gc.get_referents(image)
        assert type(image) in referents
        for field in ("_alpha", "_png_chunks", "_png_filters", "_bmp_header"):
            assert any(r is getattr(image, field) for r in referents)
        assert not any(r is image.pixels for r in referents)

    @pytest.mark.parametrize("depth, runner", [
        (300_000, "release()"),
        pytest.param(
            100_000, "threading.stack_size(1 << 20); "
                     "thread = threading.Thread(target=release); thread.start(); thread.join()",
            # The interpreter's chains of lists need as much stack as these; under
            # AddressSanitizer this code's frames are larger, and 1 MiB is too little.
            marks=pytest.mark.skipif(SANITIZED, reason="the sanitizer's stack frames")),
    ], ids=["main thread", "thread with a 1 MiB stack"])
    def test_deep_chains_through_side_data_are_released_without_recursion(self, depth,
                                                                          runner):
        # Released in a child process: a recursive release would crash it.
        out = run_python(f"""
            import threading
            fields = ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"]
            def release():
                head = SimpleImage(0, 0, b"")
                for i in range({depth}):
                    link = SimpleImage(0, 0, b"")
                    setattr(link, fields[i % 4], head)
                    head = link
                del head, link
                print("released")
            {runner}
        """)
        assert out == "released\n"
