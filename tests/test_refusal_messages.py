"""The refusal messages are written once, in the codecs' refusal lists; the fuzz
harness's list of accepted refusals and the README's table of errors must say
the same words."""

import ast
import re

from conftest import PROJECT

SOURCES = PROJECT / "src" / "simpleImage_ext"
# X(name, message) or X(name, exception, message), a line of an X-macro list.
ENTRY = re.compile(r'X\((\w+),\s*(?:(\w+),\s*)?"((?:[^"\\]|\\.)*)"\)')


def refusal_list(path):
    """{name: (exception, message)} from a refusal list's X-macro."""
    text = path.read_text().replace("\\\n", " ")
    return {name: (exception or "ValueError", message)
            for name, exception, message in ENTRY.findall(text)}


def value_error_messages():
    """The codecs' ValueError messages, with the filter type's placeholder
    filled, and the one refusal that open() words itself."""
    messages = set()
    for codec in ("png", "bmp"):
        for exception, message in refusal_list(SOURCES / codec / "refusals.hpp").values():
            if exception == "ValueError":
                messages.add(message.replace("%d", "7"))
    open_source = (SOURCES / "image" / "open.cpp").read_text()
    messages.add(re.search(r'kUnsupportedFormat = "([^"]+)"', open_source).group(1))
    return messages


def fuzz_refusals():
    tree = ast.parse((PROJECT / "fuzz" / "open_save.py").read_text())
    values = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            values[node.targets[0].id] = node.value
    refusals = ast.literal_eval(values["REFUSALS"])
    filter_pattern = ast.literal_eval(values["FILTER_REFUSAL"].args[0])
    return refusals, re.compile(filter_pattern)


def readme_messages():
    """The quoted messages in the Message column of the README's error table."""
    readme = (PROJECT / "README.md").read_text()
    formats = readme[readme.index("## Formats"):]
    formats = formats[:formats.index("\n## ", 1)]
    quoted = set()
    for row in formats.splitlines():
        if row.startswith("| ") and row.count("|") == 3:
            quoted.update(re.findall(r'"([^"]+)"', row.split("|")[2]))
    return quoted


# Words the interpreter chooses: bytearray() for a negative size, struct for a
# buffer of the wrong size.
INTERPRETER_MESSAGES = {"negative count", "unpack requires a buffer of 36 bytes"}


def test_refusal_lists_are_read():
    png = refusal_list(SOURCES / "png" / "refusals.hpp")
    bmp = refusal_list(SOURCES / "bmp" / "refusals.hpp")
    assert png["corruptedChunk"] == ("ValueError", "Corrupted PNG chunk detected")
    assert png["unsupportedConfiguration"][1].endswith("(compression/filter/interlace)")
    assert bmp["incompletePixelData"] == ("ValueError", "Incomplete BMP pixel data")


def test_fuzz_harness_accepts_exactly_the_refusals_of_the_lists():
    refusals, filter_refusal = fuzz_refusals()
    listed = value_error_messages()
    assert filter_refusal.fullmatch("Unsupported PNG filter: 7")
    assert refusals - {"negative count"} == listed - {"Unsupported PNG filter: 7"}


def test_readme_quotes_only_listed_or_interpreter_messages():
    quoted = readme_messages()
    assert "Corrupted PNG chunk detected" in quoted
    assert quoted - value_error_messages() <= INTERPRETER_MESSAGES
