#include "png/chunk_layer.hpp"

#include "glue/arguments.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/names.hpp"
#include "glue/struct_module.hpp"
#include "glue/stream.hpp"
#include "kernels/crc32.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

namespace png {
namespace {

using py::Ref;
using module_record::callGlobal;
using py::read;

constexpr const char* kEofInLength = "Unexpected EOF while reading chunk length";
constexpr const char* kEofInType = "Unexpected EOF while reading chunk type";
constexpr const char* kEofInData = "Unexpected EOF while reading chunk data";
constexpr const char* kEofInCrc = "Unexpected EOF while reading chunk CRC";
constexpr const char* kCorruptedChunk = "Corrupted PNG chunk detected";

constexpr py::Signature<1> kReadChunk{"_readChunk", {"stream"}, 1};
constexpr py::Signature<2> kMakeChunk{"_makeChunk", {"chunkType", "data"}, 2};

// stream.read(size), raising `eofMessage` unless len() of the result equals `size`.
Ref readExactly(PyObject* stream, PyObject* size, const char* eofMessage) {
    Ref bytes = read(stream, size);
    const Py_ssize_t got = bytes ? py::length(bytes.get()) : -1;
    Ref gotObject = got >= 0 ? Ref::steal(PyLong_FromSsize_t(got)) : Ref{};
    const int equal = gotObject ? PyObject_RichCompareBool(gotObject.get(), size, Py_EQ) : -1;
    if (equal < 0) {
        return {};
    }
    if (equal == 0) {
        PyErr_SetString(PyExc_ValueError, eofMessage);
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
    if (joined) {
        char* out = PyBytes_AS_STRING(joined.get());
        for (PyObject* piece : pieces) {
            std::memcpy(out, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
            out += PyBytes_GET_SIZE(piece);
        }
    }
    return joined;
}

// Whether `function` is the interpreter's own zlib.crc32: a built-in function
// named crc32 of the module named zlib. Found once, then known by identity.
bool isInterpretersCrc32(PyObject* function) {
    static PyObject* known = nullptr;
    if (function == known) {
        return true;
    }
    if (known != nullptr || !PyCFunction_Check(function) ||
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_name, "crc32") != 0) {
        return false;
    }
    PyObject* owner = PyCFunction_GET_SELF(function);
    if (owner == nullptr || !PyModule_CheckExact(owner)) {
        return false;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(owner));
    if (!name) {
        PyErr_Clear();  // a module without a name is not zlib
        return false;
    }
    const bool fromZlib = PyUnicode_CompareWithASCIIString(name.get(), "zlib") == 0;
    if (fromZlib) {
        // Held for good, so that no other object can ever take its address.
        known = Py_NewRef(function);
    }
    return fromZlib;
}

// The chunk CRC computed here, for exact bytes when the module's `zlib` is a
// module whose crc32 is the interpreter's own: the same value, ten times as
// fast as the zlib that the interpreter ships. Nothing when the call must go to
// `zlib.crc32` after all; -1 with an error set when the lookup failed.
std::optional<std::int64_t> nativeChunkCrc(PyObject* chunkType, PyObject* data) {
    if (!PyBytes_CheckExact(chunkType) || !PyBytes_CheckExact(data)) {
        return std::nullopt;
    }
    Ref zlib = module_record::global("zlib");
    if (!zlib) {
        return -1;
    }
    if (!PyModule_CheckExact(zlib.get())) {
        return std::nullopt;
    }
    Ref crc32 = Ref::steal(PyObject_GetAttr(zlib.get(), py::name("crc32")));
    if (!crc32) {
        return -1;
    }
    if (!isInterpretersCrc32(crc32.get())) {
        return std::nullopt;
    }
    const auto bytesOf = [](PyObject* bytes) {
        return reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes));
    };
    const auto typeCrc = kernels::fastCrc32(0, bytesOf(chunkType), PyBytes_GET_SIZE(chunkType));
    if (!typeCrc) {
        return std::nullopt;
    }
    return *kernels::fastCrc32(*typeCrc, bytesOf(data), PyBytes_GET_SIZE(data));
}

}  // namespace

Ref packUint32(PyObject* value) {
    return py::structPack(Ref::steal(Py_BuildValue("(sO)", ">I", value)));
}

Ref unpackUint32(PyObject* bytes) {
    Ref format = Ref::steal(PyUnicode_FromString(">I"));
    Ref values = format ? callGlobal("struct", "unpack", format.get(), bytes) : Ref{};
    return values ? Ref::steal(PySequence_GetItem(values.get(), 0)) : Ref{};
}

Ref chunkCrc(PyObject* chunkType, PyObject* data) {
    if (const auto crc = nativeChunkCrc(chunkType, data)) {
        return *crc >= 0 ? Ref::steal(PyLong_FromUnsignedLong(static_cast<unsigned long>(*crc)))
                         : Ref{};
    }
    Ref typeCrc = callGlobal("zlib", "crc32", chunkType);
    Ref crc = typeCrc ? callGlobal("zlib", "crc32", data, typeCrc.get()) : Ref{};
    Ref mask = crc ? Ref::steal(PyLong_FromUnsignedLong(0xFFFFFFFFul)) : Ref{};
    return mask ? Ref::steal(PyNumber_And(crc.get(), mask.get())) : Ref{};
}

}  // namespace png

namespace png {

PyObject* _readChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kReadChunk, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* stream = bound[0];
    Ref four = Ref::steal(PyLong_FromLong(4));
    Ref lengthBytes = four ? read(stream, four.get()) : Ref{};
    if (!lengthBytes) {
        return nullptr;
    }
    const int present = PyObject_IsTrue(lengthBytes.get());
    if (present < 0) {
        return nullptr;
    }
    if (present == 0) {
        // The stream ended at a chunk boundary.
        return Py_BuildValue("(y#y#)", "", Py_ssize_t{0}, "", Py_ssize_t{0});
    }
    const Py_ssize_t lengthSize = py::length(lengthBytes.get());
    if (lengthSize < 0) {
        return nullptr;
    }
    if (lengthSize != 4) {
        PyErr_SetString(PyExc_ValueError, kEofInLength);
        return nullptr;
    }
    Ref length = unpackUint32(lengthBytes.get());
    Ref chunkType = length ? readExactly(stream, four.get(), kEofInType) : Ref{};
    Ref data = chunkType ? readExactly(stream, length.get(), kEofInData) : Ref{};
    Ref crcBytes = data ? readExactly(stream, four.get(), kEofInCrc) : Ref{};
    Ref expectedCrc = crcBytes ? chunkCrc(chunkType.get(), data.get()) : Ref{};
    Ref actualCrc = expectedCrc ? unpackUint32(crcBytes.get()) : Ref{};
    const int intact =
        actualCrc ? PyObject_RichCompareBool(actualCrc.get(), expectedCrc.get(), Py_EQ) : -1;
    if (intact < 0) {
        return nullptr;
    }
    if (intact == 0) {
        PyErr_SetString(PyExc_ValueError, kCorruptedChunk);
        return nullptr;
    }
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

PyObject* _makeChunk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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
    Ref dataLength = Ref::steal(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    Ref length = dataLength ? packUint32(dataLength.get()) : Ref{};
    Ref crcValue = length ? chunkCrc(chunkType, data) : Ref{};
    Ref crc = crcValue ? packUint32(crcValue.get()) : Ref{};
    if (!crc) {
        return nullptr;
    }
    return concatenate({length.get(), chunkType, data, crc.get()}).release();
}

}  // namespace png
