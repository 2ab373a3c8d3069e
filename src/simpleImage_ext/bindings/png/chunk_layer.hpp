// The PNG chunk layer: reading and building single chunks.
//
// A chunk is a 4-byte big-endian data length, a 4-byte type, the data and a
// CRC-32 over type and data. Lengths and CRCs are never kept: they are computed
// again whenever a chunk is written. `_readChunk` and `_makeChunk` choose their
// route once, at their entry; on their literal routes packing and CRCs are
// calls through the module's `struct` and `zlib` as bound at each call. The one
// exception is a CRC of exact bytes objects: it is computed here when
// `zlib.crc32`, looked up at that call, is the interpreter's own.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace png {

// The module's `_readChunk(stream)` and `_makeChunk(chunkType, data)`.
PyMethodDef readChunkMethod();
PyMethodDef makeChunkMethod();

// zlib.crc32(data, zlib.crc32(chunkType)) & 0xFFFFFFFF packed with ">I", as
// the chunk stores it.
py::Ref packedChunkCrc(PyObject* chunkType, PyObject* data);

}  // namespace png
