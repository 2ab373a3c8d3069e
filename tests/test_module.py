"""Loading the extension: its namespace, once-per-process initialisation and
the one-interpreter rule."""

import importlib
import inspect
import io
import pathlib
import struct
import sys
import typing
import zlib

import pytest

from subprocesses import run_python


class TestNamespace:
    def test_standard_modules_and_names_are_bound(self, ext):
        assert ext.struct is struct and ext.zlib is zlib
        assert ext.BytesIO is io.BytesIO and ext.Path is pathlib.Path
        for name in ("List", "Sequence", "Tuple", "Union"):
            assert getattr(ext, name) is getattr(typing, name)

    def test_png_signature_is_the_eight_signature_bytes(self, ext):
        assert ext.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
        assert type(ext.PNG_SIGNATURE) is bytes

    def test_image_input_is_the_union_of_accepted_sources(self, ext):
        assert typing.get_origin(ext.ImageInput) is typing.Union
        assert typing.get_args(ext.ImageInput) == (
            str, pathlib.Path, bytes, bytearray, typing.ForwardRef("SimpleImage"))

    def test_test_dict_is_empty_and_module_has_no_docstring(self, ext):
        assert ext.__test__ == {}
        assert ext.__doc__ is None

    def test_package_reexports_the_class(self, ext):
        import Corvane
        assert Corvane.SimpleImage is ext.SimpleImage

    def test_functions_report_their_module_and_plain_qualified_name(self, ext):
        functions = [value for name, value in vars(ext).items()
                     if inspect.isbuiltin(value) and name.startswith("_")]
        assert functions
        for function in functions:
            assert function.__module__ == "Corvane.simpleImage_ext"
            assert function.__qualname__ == function.__name__

    def test_internal_routines_are_not_published(self, ext):
        for name in ("_loadPng", "_loadBmp", "_applyPngFilter", "_paethPredictor",
                     "_write_png_bytes"):
            assert not hasattr(ext, name)


class TestInitialisedOncePerProcess:
    def test_reload_returns_the_same_module_and_keeps_rebound_attributes(
            self, restore_module_attributes):
        ext = restore_module_attributes
        marker = object()
        ext.zlib = marker
        assert importlib.reload(ext) is ext
        assert ext.zlib is marker

    def test_reimport_after_removal_from_sys_modules_gives_the_same_object(self, ext):
        del sys.modules["Corvane.simpleImage_ext"]
        try:
            again = importlib.import_module("Corvane.simpleImage_ext")
        finally:
            sys.modules["Corvane.simpleImage_ext"] = ext
        assert again is ext

    def test_a_failed_initialisation_is_forgotten_and_can_be_retried(self):
        out = run_python("""
            import sys
            sys.modules["zlib"] = None          # makes the module body fail
            try:
                import Corvane.simpleImage_ext
            except ImportError as error:
                print("first:", type(error).__name__)
            del sys.modules["zlib"]
            import Corvane.simpleImage_ext as ext
            import zlib
            print("second:", ext.zlib is zlib, type(ext.SimpleImage).__name__)
        """, prelude=False)
        assert out.splitlines() == ["first: ModuleNotFoundError", "second: True type"]


class TestOneInterpreterPerProcess:
    MESSAGE = ("Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")

    def test_a_subinterpreter_cannot_import_the_module(self):
        interpreters = pytest.importorskip("_interpreters")
        interpreter = interpreters.create("legacy")
        try:
            failure = interpreters.exec(interpreter, "import Corvane.simpleImage_ext")
        finally:
            interpreters.destroy(interpreter)
        assert failure.type.__name__ == "ImportError"
        assert failure.msg == self.MESSAGE

    def test_the_main_interpreter_keeps_working_after_the_refusal(self):
        out = run_python("""
            import _interpreters
            import Corvane.simpleImage_ext as ext
            interpreter = _interpreters.create("legacy")
            _interpreters.exec(interpreter, "import Corvane.simpleImage_ext")
            _interpreters.destroy(interpreter)
            print(ext.SimpleImage(1, 1, b"abc")._getPixel((0, 0)))
        """, prelude=False)
        assert out.strip() == "(97, 98, 99)"


@pytest.mark.parametrize("callable_name", ["_getPixel", "_putPixel", "_copy"])
def test_methods_have_qualified_names_and_no_docstring(ext, callable_name):
    method = getattr(ext.SimpleImage, callable_name)
    assert method.__qualname__ == f"SimpleImage.{callable_name}"
    assert method.__doc__ is None
