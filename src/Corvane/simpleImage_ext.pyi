"""Type information for the native module `Corvane.simpleImage_ext`."""

import struct as struct
import zlib as zlib
from collections.abc import Buffer, Iterable, Mapping
from io import BytesIO as BytesIO
from os import PathLike
from pathlib import Path as Path
from typing import Any, List as List, Protocol, Self, Sequence as Sequence, SupportsInt
from typing import Tuple as Tuple, TypeAlias, Union as Union

from typing_extensions import disjoint_base

PNG_SIGNATURE: bytes
ImageInput: TypeAlias = Union[str, Path, bytes, bytearray, "SimpleImage"]
__test__: dict[str, Any]

# What the built-in open() accepts as a file to write.
_FilePath: TypeAlias = str | bytes | PathLike[str] | PathLike[bytes] | int
# One entry of a PNG chunk list: type, data (None for IDAT), length in the file.
_ChunkEntry: TypeAlias = tuple[bytes, bytes | None, int]
_DecodedImage: TypeAlias = tuple[
    int, int, bytearray, int, bytearray | None, list[_ChunkEntry] | None,
    dict[str, int] | None, bytearray | None]

class _Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...

class _Seekable(_Readable, Protocol):
    def seek(self, offset: int, /) -> Any: ...

class _HeaderRecord(Protocol):
    def get(self, key: str, default: int, /) -> SupportsInt | str: ...

def _readChunk(stream: _Readable) -> Tuple[bytes, bytes]: ...
def _makeChunk(chunkType: bytes, data: bytes) -> bytes: ...
def _writePng(path: _FilePath, width: SupportsInt, height: SupportsInt,
              pixels: Buffer | Iterable[int], alpha: Buffer | None = None,
              filter_types: Buffer | None = None) -> None: ...
def _split_idat_payload(data: bytes, lengths: list[int]) -> list[bytes]: ...
def _writePngWithChunks(path: _FilePath, width: SupportsInt, height: SupportsInt,
                        pixels: Buffer | Iterable[int], alpha: Buffer | None,
                        chunks: Sequence[_ChunkEntry] | None,
                        filter_types: Buffer | None = None) -> None: ...
def _writeBmp(path: _FilePath, width: SupportsInt, height: SupportsInt,
              pixels: Buffer | Iterable[int], meta: _HeaderRecord | None = None) -> None: ...

@disjoint_base
class SimpleImage:
    """A minimal 8-bit RGB image with an optional alpha plane."""

    def __new__(cls, width: SupportsInt, height: SupportsInt, pixels: Buffer | Iterable[int],
                alpha: Buffer | Iterable[int] | None = None,
                png_chunks: Iterable[_ChunkEntry] | None = None,
                bmp_header: Mapping[str, int] | Iterable[tuple[str, int]] | None = None,
                png_filters: Buffer | Iterable[int] | None = None) -> Self: ...
    @property
    def size(self) -> tuple[int, int]: ...
    @property
    def width(self) -> int: ...
    @width.setter
    def width(self, value: SupportsInt) -> None: ...
    @property
    def height(self) -> int: ...
    @height.setter
    def height(self, value: SupportsInt) -> None: ...
    @property
    def pixels(self) -> bytearray | None: ...
    @pixels.setter
    def pixels(self, value: bytearray | None) -> None: ...
    _alpha: bytearray | None
    _png_chunks: list[_ChunkEntry] | None
    _png_filters: bytearray | None
    _bmp_header: dict[str, int] | None

    @classmethod
    def open(cls, source: ImageInput) -> Self: ...
    @staticmethod
    def _streamToImage(stream: _Seekable) -> _DecodedImage: ...
    def _getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]: ...
    def _putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None: ...
    def _copy(self) -> SimpleImage: ...
    def save(self, path: str) -> None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> None: ...
