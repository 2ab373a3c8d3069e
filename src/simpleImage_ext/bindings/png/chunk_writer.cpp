#include "bindings/png/chunk_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bindings/output_file.hpp"
#include "bindings/png/chunk_layer.hpp"
#include "bindings/png/encoder.hpp"
#include "capi/arguments.hpp"
#include "capi/conversions.hpp"
#include "module/module_state.hpp"
#include "module/plane_lengths.hpp"

namespace png {
namespace {

using py::Ref;
using module_state::callGlobalFunction;

constexpr py::Declaration<2> kSplitIdatPayload{
    "_split_idat_payload", py::Receiver::module, {"data", "lengths"}, 2};
constexpr py::Declaration<7> kWritePngWithChunks{
    "_writePngWithChunks",
    py::Receiver::module,
    {"path", "width", "height", "pixels", "alpha", "chunks", "filter_types"},
    6};

enum WriteArgument { kPath, kWidth, kHeight, kPixels, kAlpha, kChunks, kFilterTypes };

// --- splitting the image data ----------------------------------------------

// `value <op> number` in the interpreter's comparison, so any comparable length works.
bool compare(PyObject* value, Py_ssize_t number, int op, bool& result) {
    Ref other = Ref::steal(PyLong_FromSsize_t(number));
    if (!other) {
        return false;
    }
    const int outcome = PyObject_RichCompareBool(value, other.get(), op);
    result = outcome == 1;
    return outcome >= 0;
}

// How many of the `remaining` bytes the stored length `length` takes: all of them
// for the last entry or a length that reaches the end, else the length itself.
// -1 with an exception set on failure.
Py_ssize_t partSize(PyObject* length, Py_ssize_t remaining, bool last) {
    if (last) {
        return remaining;
    }
    bool shorter = false;
    if (!compare(length, remaining, Py_LT, shorter)) {
        return -1;
    }
    if (!shorter) {
        return remaining;
    }
    const Py_ssize_t take = PyNumber_AsSsize_t(length, PyExc_OverflowError);
    if (take == -1 && PyErr_Occurred()) {
        return -1;
    }
    // Only an object whose comparisons disagree with its integer value gets here
    // out of range; slicing must still stay inside the payload.
    return std::clamp<Py_ssize_t>(take, 0, remaining);
}

bool appendSlice(PyObject* parts, PyObject* data, Py_ssize_t offset, Py_ssize_t size) {
    Ref part = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + offset, size));
    return part && PyList_Append(parts, part.get()) == 0;
}

Ref splitAlong(PyObject* data, PyObject* lengths) {
    const Py_ssize_t total = py::length(data);
    if (total < 0) {
        return {};
    }
    const Py_ssize_t count = py::length(lengths);
    if (count < 0) {
        return {};
    }
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) {
        return {};
    }
    Py_ssize_t offset = 0;
    for (Py_ssize_t idx = 0; idx < count && offset < total; ++idx) {
        Ref length = Ref::steal(PyList_GetItemRef(lengths, idx));
        bool skipped = false;
        if (!length || !compare(length.get(), 0, Py_LE, skipped)) {
            return {};
        }
        if (skipped) {
            continue;
        }
        const Py_ssize_t take = partSize(length.get(), total - offset, idx == count - 1);
        if (take < 0 || !appendSlice(parts.get(), data, offset, take)) {
            return {};
        }
        offset += take;
    }
    if (offset < total && !appendSlice(parts.get(), data, offset, total - offset)) {
        return {};
    }
    return parts;
}

// --- the stored chunk list ---------------------------------------------------

struct StoredChunk {
    Ref type;
    Ref data;
    Ref length;
    bool idat;
};

// Every entry unpacked into (type, data, length) before anything is written.
bool readStoredChunks(PyObject* chunks, PyObject* idatType, std::vector<StoredChunk>& stored) {
    Ref iterator = Ref::steal(PyObject_GetIter(chunks));
    if (!iterator) {
        return false;
    }
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref items[3];
        if (!py::unpack(entry.get(), items, 3)) {
            return false;
        }
        const int idat = PyObject_RichCompareBool(items[0].get(), idatType, Py_EQ);
        if (idat < 0) {
            return false;
        }
        stored.push_back({items[0], items[1], items[2], idat == 1});
    }
    return !PyErr_Occurred();
}

Ref idatLengths(const std::vector<StoredChunk>& stored) {
    Ref lengths = Ref::steal(PyList_New(0));
    if (!lengths) {
        return {};
    }
    for (const StoredChunk& chunk : stored) {
        if (chunk.idat && PyList_Append(lengths.get(), chunk.length.get()) < 0) {
            return {};
        }
    }
    return lengths;
}

// --- the pieces of the file --------------------------------------------------

// The bytes of `value` as they are now: exact bytes themselves, any other
// bytes-like object copied. Length, CRC and the bytes written then describe the
// same bytes, even if the object changes before the writes (a bytearray changed
// by a path's __fspath__, say). A value that is not bytes-like is refused with
// the TypeError that writing or checksumming it would raise, while the
// destination is still untouched.
Ref bytesNow(PyObject* value) {
    if (PyBytes_CheckExact(value)) {
        return Ref::borrow(value);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) {
        return {};
    }
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len));
    PyBuffer_Release(&view);
    return copy;
}

// The four writes of one chunk: the data length (the int's own to_bytes(4, "big")),
// the type, the data and the CRC packed with ">I", all from one snapshot of the
// type and the data.
bool appendChunk(std::vector<Ref>& pieces, PyObject* type, PyObject* data) {
    // Taken first for its error: data without a length is refused as having none.
    if (!py::lengthOf(data)) {
        return false;
    }
    Ref typeBytes = bytesNow(type);
    if (!typeBytes) {
        return false;
    }
    Ref dataBytes = bytesNow(data);
    if (!dataBytes) {
        return false;
    }
    Ref size = py::lengthOf(dataBytes.get());
    if (!size) {
        return false;
    }
    Ref length = Ref::steal(PyObject_CallMethod(size.get(), "to_bytes", "is", 4, "big"));
    if (!length) {
        return false;
    }
    Ref crc = packedChunkCrc(typeBytes.get(), dataBytes.get());
    if (!crc) {
        return false;
    }
    pieces.insert(pieces.end(), {length, typeBytes, dataBytes, crc});
    return true;
}

// The IDAT run: the compressed image data cut along the stored IDAT lengths,
// one IDAT chunk per part.
bool buildIdatRun(PyObject* compressed, const std::vector<StoredChunk>& stored,
                  PyObject* idatType, std::vector<Ref>& run) {
    Ref lengths = idatLengths(stored);
    if (!lengths) {
        return false;
    }
    Ref parts = callGlobalFunction("_split_idat_payload", compressed, lengths.get());
    if (!parts) {
        return false;
    }
    const int some = PyObject_IsTrue(parts.get());
    if (some < 0) {
        return false;
    }
    if (some == 0) {
        parts = Ref::steal(PyTuple_Pack(1, compressed));
        if (!parts) {
            return false;
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(parts.get()));
    if (!iterator) {
        return false;
    }
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!appendChunk(run, idatType, part.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// Signature, then the stored chunks in order with the IDAT run at the first IDAT
// entry (later ones dropped), or after the last entry when there is none.
bool layOutFile(const std::vector<StoredChunk>& stored, const std::vector<Ref>& run,
                std::vector<Ref>& pieces) {
    Ref signature = module_state::global("PNG_SIGNATURE");
    if (!signature) {
        return false;
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) {
        return false;
    }
    pieces.push_back(signature);
    bool idatWritten = false;
    for (const StoredChunk& chunk : stored) {
        if (chunk.idat) {
            if (!idatWritten) {
                pieces.insert(pieces.end(), run.begin(), run.end());
                idatWritten = true;
            }
            continue;
        }
        PyObject* payload = chunk.data.get() == Py_None ? empty.get() : chunk.data.get();
        if (!appendChunk(pieces, chunk.type.get(), payload)) {
            return false;
        }
    }
    if (!idatWritten) {
        pieces.insert(pieces.end(), run.begin(), run.end());
    }
    return true;
}

PyObject* handOverToWritePng(const py::Arguments<7>& bound, std::int32_t width,
                             std::int32_t height) {
    Ref widthObject = py::fromInt32(width);
    if (!widthObject) {
        return nullptr;
    }
    Ref heightObject = py::fromInt32(height);
    if (!heightObject) {
        return nullptr;
    }
    Ref result = callGlobalFunction("_writePng", bound[kPath], widthObject.get(),
                                    heightObject.get(), bound[kPixels], bound[kAlpha],
                                    py::orNone(bound[kFilterTypes]));
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* splitIdatPayload(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    py::Arguments<2> bound;
    if (!py::bind(kSplitIdatPayload, args, nargs, kwnames, bound) ||
        !py::requireExactType(bound[0], &PyBytes_Type, "data", py::NoneAllowed::yes,
                              py::SubclassNote::no) ||
        !py::requireExactType(bound[1], &PyList_Type, "lengths", py::NoneAllowed::yes,
                              py::SubclassNote::no)) {
        return nullptr;
    }
    return splitAlong(bound[0], bound[1]).release();
}

PyObject* writePngWithChunks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Arguments<7> bound;
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (!py::bind(kWritePngWithChunks, args, nargs, kwnames, bound) ||
        !py::toDimensions(bound[kWidth], bound[kHeight], width, height)) {
        return nullptr;
    }
    const int present = PyObject_IsTrue(bound[kChunks]);
    if (present < 0) {
        return nullptr;
    }
    if (present == 0) {
        return handOverToWritePng(bound, width, height);
    }
    PyObject* alpha = bound[kAlpha];
    if (!py::requirePlaneLengths(width, height, bound[kPixels], alpha)) {
        return nullptr;
    }
    Ref compressed = compressedImageData(width, height, bound[kPixels], alpha,
                                         py::orNone(bound[kFilterTypes]));
    if (!compressed) {
        return nullptr;
    }
    Ref idatType = Ref::steal(PyBytes_FromString("IDAT"));
    if (!idatType) {
        return nullptr;
    }
    std::vector<StoredChunk> stored;
    std::vector<Ref> run;
    std::vector<Ref> pieces;
    if (!readStoredChunks(bound[kChunks], idatType.get(), stored) ||
        !buildIdatRun(compressed.get(), stored, idatType.get(), run) ||
        !layOutFile(stored, run, pieces)) {
        return nullptr;
    }
    if (!output_file::createWith(bound[kPath], pieces)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef splitIdatPayloadMethod() {
    return py::methodRow<kSplitIdatPayload, splitIdatPayload>();
}

PyMethodDef writePngWithChunksMethod() {
    return py::methodRow<kWritePngWithChunks, writePngWithChunks>();
}

}  // namespace png
