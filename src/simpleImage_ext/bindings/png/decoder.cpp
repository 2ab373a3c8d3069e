#include "bindings/png/decoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "bindings/png/chunk_layer.hpp"
#include "bindings/png/idat_parts.hpp"
#include "bindings/png/image_data.hpp"
#include "bindings/png/refusal.hpp"
#include "capi/allocation.hpp"
#include "capi/bytes.hpp"
#include "capi/conversions.hpp"
#include "capi/stream.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "module/struct_module.hpp"
#include "png/chunks.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::DecodedImage;
using py::Ref;

// Everything the chunk loop collects: the chunk list, the image data and the
// header fields.
struct ChunkSequence {
    Ref chunks;
    IdatParts idat;
    Header header;

    bool start() {
        header.fill(-1);
        chunks = Ref::steal(PyList_New(0));
        return static_cast<bool>(chunks);
    }

    // Appends (chunkType, data or None, length) to the chunk list.
    bool record(PyObject* chunkType, PyObject* data, PyObject* length) {
        Ref entry = Ref::steal(PyTuple_Pack(3, chunkType, data, length));
        return entry && PyList_Append(chunks.get(), entry.get()) == 0;
    }
};

// --- the header ------------------------------------------------------------

// struct.unpack(">IIBBBBB", data) into the header fields, each a 32-bit signed
// int: a width or height of 2**31 or more is refused as too large.
bool readHeader(PyObject* data, Header& header) {
    Ref items[kHeaderFields];
    if (!py::structUnpack(kHeaderFormat, data, items, kHeaderFields)) {
        return false;
    }
    Header fields{};
    for (int i = 0; i < kHeaderFields; ++i) {
        if (!py::toInt32(items[i].get(), fields[i])) {
            return false;
        }
    }
    header = fields;
    return true;
}

// --- chunks through the stream ------------------------------------------------

// The first 8 bytes against the module's PNG_SIGNATURE, as bound now.
bool checkSignature(PyObject* stream) {
    Ref signature = py::read(stream, 8);
    if (!signature) {
        return false;
    }
    Ref expected = module_state::global("PNG_SIGNATURE");
    if (!expected) {
        return false;
    }
    const int differs = PyObject_RichCompareBool(signature.get(), expected.get(), Py_NE);
    if (differs > 0) {
        raise(Refusal::unsupportedSignature);
    }
    return differs == 0;
}

// `chunkType, data = _readChunk(stream)`, with `_readChunk` looked up now.
bool nextChunk(PyObject* stream, Ref& chunkType, Ref& data) {
    Ref readChunk = module_state::global("_readChunk");
    if (!readChunk) {
        return false;
    }
    Ref result = Ref::steal(PyObject_CallOneArg(readChunk.get(), stream));
    Ref chunk[2];
    if (!result || !py::unpack(result.get(), chunk, 2)) {
        return false;
    }
    chunkType = std::move(chunk[0]);
    data = std::move(chunk[1]);
    return true;
}

// Appends (chunkType, data, len(data)) to the chunk list; IDAT data goes to
// the image data and is recorded as None.
bool recordChunk(ChunkSequence& sequence, PyObject* chunkType, PyObject* data, bool isIdat) {
    Ref length = py::lengthOf(data);
    if (!length || !sequence.record(chunkType, isIdat ? Py_None : data, length.get())) {
        return false;
    }
    return !isIdat || sequence.idat.append(data);
}

// Reads chunks up to IEND or the end of the stream. Every chunk is read, and
// its CRC checked, before the header is judged.
bool readChunks(PyObject* stream, ChunkSequence& sequence) {
    if (!sequence.start()) {
        return false;
    }
    for (;;) {
        Ref chunkType;
        Ref data;
        if (!nextChunk(stream, chunkType, data)) {
            return false;
        }
        const int atEnd = py::equalsBytes(chunkType.get(), "");
        if (atEnd != 0) {
            return atEnd > 0;
        }
        const int isHeader = py::equalsBytes(chunkType.get(), "IHDR");
        if (isHeader < 0 || (isHeader > 0 && !readHeader(data.get(), sequence.header))) {
            return false;
        }
        const int isIdat = py::equalsBytes(chunkType.get(), "IDAT");
        if (isIdat < 0 || !recordChunk(sequence, chunkType.get(), data.get(), isIdat > 0)) {
            return false;
        }
        const int isEnd = py::equalsBytes(chunkType.get(), "IEND");
        if (isEnd != 0) {
            return isEnd > 0;
        }
    }
}

// --- chunks from bytes --------------------------------------------------------

// The chunk list found in the bytes, as the objects `_readChunk` would have
// given; the data of IDAT chunks stays where it is, in the buffer.
bool recordChunks(const ChunkList& list, ChunkSequence& sequence) {
    if (!sequence.start()) {
        return false;
    }
    sequence.header = list.header;
    for (const Chunk& chunk : list.chunks) {
        const bool isIdat = chunk.is("IDAT");
        Ref type = py::bytesFrom(chunk.type);
        Ref data = isIdat ? Ref::none() : py::bytesFrom(chunk.data);
        Ref length = Ref::steal(PyLong_FromSize_t(chunk.data.size()));
        if (!type || !data || !length || !sequence.record(type.get(), data.get(), length.get())) {
            return false;
        }
        if (isIdat && !sequence.idat.appendView(chunk.data)) {
            return false;
        }
    }
    return true;
}

// Raises what walking the chunks refused. An IHDR of another size than 13
// bytes gets struct.unpack's own words, which the module's own `struct` gives.
bool raiseWalkRefusal(const ChunkList& list, Refusal refusal) {
    if (refusal != Refusal::headerSize) {
        return raise(refusal);
    }
    Ref data = py::bytesFrom(list.chunks.back().data);
    Ref items[kHeaderFields];
    return data && py::structUnpack(kHeaderFormat, data.get(), items, kHeaderFields);
}

// The signature and the chunks of `bytes` from `position` on; `end` is where
// reading stopped, as a stream over the bytes would have been left.
bool readChunksFromBytes(ByteSpan bytes, std::size_t position, ChunkSequence& sequence,
                         std::size_t& end) {
    ChunkList list;
    Refusal refusal = Refusal::none;
    const bool walked =
        py::allocating([&] { refusal = walkFile(bytes, position, list); });
    end = list.end;
    if (!walked) {
        return false;
    }
    if (refusal != Refusal::none) {
        return raiseWalkRefusal(list, refusal);
    }
    return recordChunks(list, sequence);
}

// --- the image -----------------------------------------------------------------

std::optional<DecodedImage> decodeImage(ChunkSequence& sequence) {
    if (const Refusal refusal = checkHeader(sequence.header); refusal != Refusal::none) {
        raise(refusal);
        return std::nullopt;
    }
    const Header& header = sequence.header;
    const int channels = header[kColourTypeField] == kColourRgb ? 3 : 4;
    const Geometry geometry{header[kWidthField], header[kHeightField], channels,
                            std::int64_t{header[kWidthField]} * channels};
    Planes planes;
    if (!decodeImageData(sequence.idat, geometry, planes)) {
        return std::nullopt;
    }
    DecodedImage decoded;
    decoded.width = py::fromInt32(geometry.width);
    decoded.height = py::fromInt32(geometry.height);
    decoded.channels = Ref::steal(PyLong_FromLong(channels));
    if (!decoded.width || !decoded.height || !decoded.channels) {
        return std::nullopt;
    }
    decoded.pixels = std::move(planes.pixels);
    decoded.alpha = std::move(planes.alpha);
    decoded.pngChunks = std::move(sequence.chunks);
    decoded.pngFilters = std::move(planes.filters);
    return decoded;
}

// The byte route over a held stream, which is then left where reading it would
// have left it, also after an error.
std::optional<DecodedImage> loadHeld(PyObject* stream, const py::HeldContent& content) {
    ChunkSequence sequence;
    std::size_t end = content.position;
    const bool read = readChunksFromBytes(content.bytes(), content.position, sequence, end);
    if (!py::leaveAt(stream, end, read)) {
        return std::nullopt;
    }
    return decodeImage(sequence);
}

std::optional<DecodedImage> loadLiterally(PyObject* stream) {
    ChunkSequence sequence;
    if (!checkSignature(stream) || !readChunks(stream, sequence)) {
        return std::nullopt;
    }
    return decodeImage(sequence);
}

}  // namespace

std::optional<DecodedImage> _loadPng(PyObject* stream) {
    if (own_names::allOwn(kChunkNames)) {
        // Holds the bytes that the chunks read from it point into.
        if (const std::optional<py::HeldContent> content = py::holdContent(stream)) {
            return loadHeld(stream, *content);
        }
    }
    return loadLiterally(stream);
}

std::optional<DecodedImage> loadPngFromBytes(PyObject* bytes) {
    ChunkSequence sequence;
    std::size_t end = 0;
    if (!readChunksFromBytes(py::bytesSpan(bytes), 0, sequence, end)) {
        return std::nullopt;
    }
    return decodeImage(sequence);
}

}  // namespace png
