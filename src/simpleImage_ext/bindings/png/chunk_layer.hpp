// The PNG chunk layer: reading and building single chunks.
//
// A chunk is a 4-byte big-endian data length, a 4-byte type, the data and a
// CRC-32 over type and data. Lengths and CRCs are never kept: they are computed
// again whenever a chunk is written. Packing and CRCs go through the module's
// `struct` and `zlib` as currently bound: on these literal routes, where the
// stream's reads can run Python code between two lookups, each name is asked
// at its lookup whether it is the module's own, whose work is then done here.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

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

}  // namespace png
