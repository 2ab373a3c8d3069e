"""`corvane info`: what each file is and holds. Files the decoder refuses are
described as far as their structure goes: the chunk table of a PNG needs no pixels."""

from __future__ import annotations

import argparse
import collections
import dataclasses
import json
import re
from typing import Any

from Corvane.command.diagnosis import UNSUPPORTED
from Corvane.command.errors import EXIT_FAILURE, EXIT_OK, FileError, report_error
from Corvane.command.files import OK, UNREADABLE, Loaded, image_format, load
from Corvane.command.layout import (BMP_SIGNATURE, PNG_SIGNATURE, bmp_size, chunk_name, read_png,
                                    texts)
from Corvane.simpleImage_ext import SimpleImage

FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")
# Control characters in a file's text would reach the terminal; they are shown escaped.
CONTROL_CHARACTERS = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]")

Info = dict[str, Any]


def describe_image(info: Info, image: SimpleImage, with_texts: bool) -> None:
    width, height = image.size
    alpha = image._alpha is not None
    info.update(format=image_format(image), width=width, height=height,
                channels=4 if alpha else 3, alpha=alpha)
    if image._png_chunks is not None:
        info["chunks"] = [{"type": chunk_name(chunk_type), "length": length,
                           "data": "IDAT" if data is None else "stored"}
                          for chunk_type, data, length in image._png_chunks]
        counts = collections.Counter(image._png_filters or b"")
        info["filters"] = {FILTER_NAMES[t] if t < len(FILTER_NAMES) else str(t): counts[t]
                           for t in sorted(counts)}
        if with_texts:
            info["texts"] = [dataclasses.asdict(text) for text in
                             texts((chunk_type, data) for chunk_type, data, _ in image._png_chunks)]
    if image._bmp_header is not None:
        info["bmp_header"] = dict(image._bmp_header)


def describe_structure(info: Info, data: bytes, with_texts: bool) -> None:
    """What the structure of a file that was not decoded shows: format, size,
    and for a PNG the chunks up to where reading them stopped."""
    size = None
    if data.startswith(PNG_SIGNATURE):
        png = read_png(data)
        header = png.header()
        info["format"] = "PNG"
        size = (header.width, header.height) if header else None
        info["chunks"] = [{"type": chunk.name, "length": chunk.length} for chunk in png.chunks]
        if with_texts:
            info["texts"] = [dataclasses.asdict(text) for text in texts(png.stored_chunks())]
    elif data.startswith(BMP_SIGNATURE):
        info["format"] = "BMP"
        size = bmp_size(data)
    if size:
        info["width"], info["height"] = size


def describe(loaded: Loaded, with_texts: bool) -> Info:
    info: Info = {"file": loaded.path, "status": loaded.status}
    if loaded.image is not None:
        describe_image(info, loaded.image, with_texts)
        return info
    if loaded.status != UNREADABLE:
        describe_structure(info, loaded.data, with_texts)
    if loaded.status == UNSUPPORTED:
        info["unsupported"], info["message"] = loaded.detail, loaded.message
    else:
        info["error"] = loaded.message
    return info


def printable(text: str) -> str:
    return CONTROL_CHARACTERS.sub(lambda match: f"\\x{ord(match[0]):02x}", text)


def format_texts(found: list[Info]) -> list[str]:
    if not found:
        return ["  text chunks: none"]
    lines = ["  text chunks:"]
    for text in found:
        label = text["keyword"]
        if text["language"] or text["translated_keyword"]:
            label += f" [{text['language']}: {text['translated_keyword']}]"
        first, *others = printable(text["text"]).replace("\r\n", "\n").split("\n")
        lines.append(f"    {text['chunk']} {printable(label)}: {first}")
        lines += [f"      {line}" for line in others]
    return lines


def format_info(info: Info) -> str:
    what = info.get("format", "")
    if "width" in info:
        what += f" {info['width']}x{info['height']}"
    if info["status"] == OK:
        kind = "RGB and alpha" if info["alpha"] else "RGB"
        state = f"{info['channels']} channels ({kind})"
    elif info["status"] == UNSUPPORTED:
        state = f"unsupported: {info['message']}"
    else:
        state = "broken"        # the reason goes to standard error
    lines = [f"{info['file']}: " + ", ".join(filter(None, (what, state)))]
    if "chunks" in info:
        lines.append("  chunk  length" + ("  data" if info["status"] == OK else ""))
        lines += [f"  {c['type']:<5}  {c['length']:>6}" + (f"  {c['data']}" if "data" in c else "")
                  for c in info["chunks"]]
    if "filters" in info:
        histogram = ", ".join(f"{name} {count}" for name, count in info["filters"].items())
        lines.append(f"  row filters: {histogram or 'none'}")
    if "bmp_header" in info:
        lines.append("  header: " + ", ".join(f"{k}={v}" for k, v in info["bmp_header"].items()))
    if "texts" in info:
        lines += format_texts(info["texts"])
    return "\n".join(lines)


def command_info(arguments: argparse.Namespace) -> int:
    """Describes every file; a file that is broken or cannot be read is also
    reported in one line on standard error and makes the exit status 1."""
    described, failed = [], False
    for path in arguments.files:
        loaded = load(path)
        if loaded.status not in (OK, UNSUPPORTED):
            failed = True
            report_error(arguments.command, FileError(path, loaded.message))
        described.append(describe(loaded, arguments.text))
    if arguments.json:
        print(json.dumps(described, indent=2))
    else:
        text = "\n".join(format_info(info) for info in described if info["status"] != UNREADABLE)
        if text:
            print(text)
    return EXIT_FAILURE if failed else EXIT_OK
