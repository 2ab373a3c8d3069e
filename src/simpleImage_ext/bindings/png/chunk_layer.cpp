#include "bindings/png/chunk_layer.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

#include "bindings/png/refusal.hpp"
#include "capi/arguments.hpp"
#include "capi/bytes.hpp"
#include "capi/conversions.hpp"
#include "capi/stream.hpp"
#include "kernels/crc32.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "module/struct_module.hpp"
#include "png/chunks.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::Ref;

constexpr py::Declaration<1> kReadChunk{"_readChunk", py::Receiver::module, {"stream"}, 1};
constexpr py::Declaration<2> kMakeChunk{
    "_makeChunk", py::Receiver::module, {"chunkType", "data"}, 2};

// stream.read(size), refused as `eof` unless len() of the result equals `size`.
Ref readExactly(PyObject* stream, PyObject* size, Refusal eof) {
    Ref bytes = py::read(stream, size);
    if (!bytes) {
        return {};
    }
    Ref got = py::lengthOf(bytes.get());
    if (!got) {
        return {};
    }
    const int equal = PyObject_RichCompareBool(got.get(), size, Py_EQ);
    if (equal < 0) {
        return {};
    }
    if (equal == 0) {
        raise(eof);
        return {};
    }
    return bytes;
}

// length + chunkType + data + crc, in one allocation when all four are bytes.
Ref concatenate(PyObject* const (&pieces)[4]) {
    Py_ssize_t total = 0;
    for (PyObject* piece : pieces) {
        if (!PyBytes_CheckExact(piece)) {
            Ref joined = Ref::borrow(pieces[0]);
            for (int i = 1; i < 4 && joined; ++i) {
                joined = Ref::steal(PyNumber_Add(joined.get(), pieces[i]));
            }
            return joined;
        }
        total += PyBytes_GET_SIZE(piece);
    }
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!joined) {
        return {};
    }
    char* out = PyBytes_AS_STRING(joined.get());
    for (PyObject* piece : pieces) {
        std::memcpy(out, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
        out += PyBytes_GET_SIZE(piece);
    }
    return joined;
}

// The chunk CRC computed here, for exact bytes when the module's zlib.crc32 is
// the interpreter's own: the same value, ten times as fast as the zlib that the
// interpreter ships. Nothing when the call must go to `zlib.crc32` after all;
// -1 with an error set when the lookup failed.
std::optional<std::int64_t> nativeChunkCrc(PyObject* chunkType, PyObject* data) {
    if (!PyBytes_CheckExact(chunkType) || !PyBytes_CheckExact(data)) {
        return std::nullopt;
    }
    const int own = own_names::isOwn(own_names::Name::zlibCrc32);
    if (own < 0) {
        return -1;
    }
    if (own == 0) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> type = py::bytesSpan(chunkType);
    const std::span<const std::uint8_t> content = py::bytesSpan(data);
    const auto typeCrc = kernels::fastCrc32(0, type.data(), type.size());
    if (!typeCrc) {
        return std::nullopt;
    }
    return *kernels::fastCrc32(*typeCrc, content.data(), content.size());
}

// struct.pack(">I", value) and struct.unpack(">I", bytes)[0].
Ref packUint32(PyObject* value) { return py::structPack(kUint32Format, "(O)", value); }

Ref unpackUint32(PyObject* bytes) {
    Ref format = Ref::steal(PyUnicode_FromString(kUint32Format));
    if (!format) {
        return {};
    }
    Ref values = module_state::callGlobal("struct", "unpack", format.get(), bytes);
    if (!values) {
        return {};
    }
    return Ref::steal(PySequence_GetItem(values.get(), 0));
}

// zlib.crc32(data, zlib.crc32(chunkType)) & 0xFFFFFFFF, as a Python int.
Ref chunkCrc(PyObject* chunkType, PyObject* data) {
    if (const auto crc = nativeChunkCrc(chunkType, data)) {
        if (*crc < 0) {
            return {};
        }
        return Ref::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(*crc)));
    }
    Ref typeCrc = module_state::callGlobal("zlib", "crc32", chunkType);
    if (!typeCrc) {
        return {};
    }
    Ref crc = module_state::callGlobal("zlib", "crc32", data, typeCrc.get());
    if (!crc) {
        return {};
    }
    Ref mask = Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul));
    if (!mask) {
        return {};
    }
    return Ref::steal(PyNumber_And(crc.get(), mask.get()));
}

// What `_readChunk(stream)` returns, as its two items; both empty at the end of
// the stream. False with the exception that `_readChunk` raises.
bool readChunkFields(PyObject* stream, Ref& chunkType, Ref& data) {
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) {
        return false;
    }
    Ref lengthBytes = py::read(stream, four.get());
    if (!lengthBytes) {
        return false;
    }
    const int present = PyObject_IsTrue(lengthBytes.get());
    if (present < 0) {
        return false;
    }
    if (present == 0) {
        // The stream ended at a chunk boundary.
        chunkType = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        data = chunkType;
        return static_cast<bool>(chunkType);
    }
    const Py_ssize_t lengthSize = py::length(lengthBytes.get());
    if (lengthSize < 0) {
        return false;
    }
    if (lengthSize != 4) {
        return raise(Refusal::eofInLength);
    }
    Ref length = unpackUint32(lengthBytes.get());
    if (!length) {
        return false;
    }
    chunkType = readExactly(stream, four.get(), Refusal::eofInType);
    if (!chunkType) {
        return false;
    }
    data = readExactly(stream, length.get(), Refusal::eofInData);
    if (!data) {
        return false;
    }
    Ref crcBytes = readExactly(stream, four.get(), Refusal::eofInCrc);
    if (!crcBytes) {
        return false;
    }
    Ref expectedCrc = chunkCrc(chunkType.get(), data.get());
    if (!expectedCrc) {
        return false;
    }
    Ref actualCrc = unpackUint32(crcBytes.get());
    if (!actualCrc) {
        return false;
    }
    const int intact = PyObject_RichCompareBool(actualCrc.get(), expectedCrc.get(), Py_EQ);
    if (intact < 0) {
        return false;
    }
    if (intact == 0) {
        return raise(Refusal::corruptedChunk);
    }
    return true;
}

// Whether `_makeChunk(chunkType, data)`, with both exact bytes, is built here
// from the bytes (the byte route), decided once at its entry: `struct.pack` and
// `zlib.crc32` are the module's own, the data's length fits the chunk's length
// field (else struct.pack says why it does not), and this processor computes
// CRCs faster than the interpreter's zlib.
bool buildsChunkItself(PyObject* data) {
    constexpr own_names::Name kPackingNames[] = {own_names::Name::structPack,
                                                 own_names::Name::zlibCrc32};
    static const bool fastCrc = [] {
        const std::uint8_t probe = 0;
        return kernels::fastCrc32(0, &probe, 1).has_value();
    }();
    return fastCrc && static_cast<std::uint64_t>(PyBytes_GET_SIZE(data)) <= 0xFFFFFFFFull &&
           own_names::allOwn(kPackingNames);
}

Ref chunkFromBytes(PyObject* chunkType, PyObject* data) {
    const ByteSpan type = py::bytesSpan(chunkType);
    const ByteSpan content = py::bytesSpan(data);
    Ref chunk = Ref::steal(PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(kChunkFraming + type.size() + content.size())));
    if (chunk) {
        writeChunk(type, content,
                   {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(chunk.get())),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.get()))});
    }
    return chunk;
}

// The next chunk of a held stream, read from its buffer (the byte route), as
// (chunkType, data); the stream is then left where the reads would have left
// it, also after an error.
PyObject* readHeldChunk(PyObject* stream, const py::HeldContent& content) {
    ChunkWalker walker(content.bytes(), content.position);
    Chunk chunk;
    const Refusal refusal = walker.next(chunk);
    Ref result;
    if (refusal != Refusal::none) {
        raise(refusal);
    } else {
        Ref chunkType = py::bytesFrom(chunk.type);
        Ref data = py::bytesFrom(chunk.data);
        if (chunkType && data) {
            result = Ref::steal(PyTuple_Pack(2, chunkType.get(), data.get()));
        }
    }
    if (!py::leaveAt(stream, walker.position(), static_cast<bool>(result))) {
        return nullptr;
    }
    return result.release();
}

PyObject* readChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kReadChunk, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    // Decided once, here: an exact io.BytesIO is read from its buffer while the
    // names that reading a chunk looks up are the module's own.
    constexpr own_names::Name kReadingNames[] = {own_names::Name::structUnpack,
                                                 own_names::Name::zlibCrc32};
    if (own_names::allOwn(kReadingNames)) {
        if (const std::optional<py::HeldContent> content = py::holdContent(bound[0])) {
            return readHeldChunk(bound[0], *content);
        }
    }
    Ref chunkType;
    Ref data;
    if (!readChunkFields(bound[0], chunkType, data)) {
        return nullptr;
    }
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

PyObject* makeChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<2> bound;
    if (!py::bind(kMakeChunk, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* chunkType = bound[0];
    PyObject* data = bound[1];
    for (auto [value, name] : {std::pair{chunkType, "chunkType"}, std::pair{data, "data"}}) {
        if (!py::requireExactType(value, &PyBytes_Type, name, py::NoneAllowed::no,
                                  py::SubclassNote::yes)) {
            return nullptr;
        }
    }
    if (buildsChunkItself(data)) {
        return chunkFromBytes(chunkType, data).release();
    }
    Ref dataLength = py::lengthOf(data);
    if (!dataLength) {
        return nullptr;
    }
    Ref length = packUint32(dataLength.get());
    if (!length) {
        return nullptr;
    }
    Ref crc = packedChunkCrc(chunkType, data);
    if (!crc) {
        return nullptr;
    }
    return concatenate({length.get(), chunkType, data, crc.get()}).release();
}

}  // namespace

PyMethodDef readChunkMethod() { return py::methodRow<kReadChunk, readChunk>(); }
PyMethodDef makeChunkMethod() { return py::methodRow<kMakeChunk, makeChunk>(); }

Ref packedChunkCrc(PyObject* chunkType, PyObject* data) {
    Ref crc = chunkCrc(chunkType, data);
    if (!crc) {
        return {};
    }
    return packUint32(crc.get());
}

}  // namespace png
