// The PNG chunk layer: reading and building single chunks.
//
// A chunk is a 4-byte big-endian data length, a 4-byte type, the data and a
// CRC-32 over type and data. Lengths and CRCs are never kept: they are computed
// again whenever a chunk is written. Packing and CRCs go through the module's
// `struct` and `zlib` as currently bound.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "glue/ref.hpp"

namespace png {

// The module's `_readChunk(stream)` and `_makeChunk(chunkType, data)`.
PyMethodDef readChunkMethod();
PyMethodDef makeChunkMethod();

// What `_readChunk(stream)` returns, as its two items; both empty at the end of
// the stream. False with the exception that `_readChunk` raises.
bool readChunkFields(PyObject* stream, py::Ref& chunkType, py::Ref& data);

// zlib.crc32(data, zlib.crc32(chunkType)) & 0xFFFFFFFF, as a Python int, and
// packed with ">I" as the chunk stores it.
py::Ref chunkCrc(PyObject* chunkType, PyObject* data);
py::Ref packedChunkCrc(PyObject* chunkType, PyObject* data);

// struct.pack(">I", value) and struct.unpack(">I", bytes)[0].
py::Ref packUint32(PyObject* value);
py::Ref unpackUint32(PyObject* bytes);

// Chunks read in place from a buffer, exactly as `_readChunk` reads them from
// an io.BytesIO over it (the same chunks, errors and final position), for use
// while `_readChunk`, `struct.unpack` and `zlib.crc32` are the module's own.
class ChunkCursor {
public:
    ChunkCursor(std::span<const std::uint8_t> bytes, std::size_t position) noexcept
        : bytes_(bytes), position_(position) {}

    // The next `count` bytes, or fewer at the end, as read(count) gives them.
    std::span<const std::uint8_t> read(std::size_t count) noexcept;

    // The next chunk; an empty type at the end of the buffer. False with
    // `_readChunk`'s error.
    bool next(std::span<const std::uint8_t>& chunkType, std::span<const std::uint8_t>& data);

    std::size_t position() const noexcept { return position_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_;
};

}  // namespace png
