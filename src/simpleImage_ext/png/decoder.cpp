#include "png/decoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/module_state.hpp"
#include "glue/originals.hpp"
#include "glue/stream.hpp"
#include "glue/struct_module.hpp"
#include "png/chunk_layer.hpp"
#include "png/format.hpp"
#include "png/idat_parts.hpp"
#include "png/image_data.hpp"

namespace png {
namespace {

using py::DecodedImage;
using py::Ref;
using originals::Stock;
using Bytes = std::span<const std::uint8_t>;

constexpr const char* kUnsupportedSignature = "Unsupported PNG signature";

// The IHDR fields in file order; -1 until an IHDR supplies them.
enum HeaderField {
    kWidthField, kHeightField, kBitDepthField, kColourTypeField, kCompressionField,
    kFilterMethodField, kInterlaceField,
};
using Header = std::array<std::int32_t, kHeaderFields>;

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
// int. An exact 13 bytes are unpacked here while `struct.unpack` is the
// module's own; a width or height of 2**31 or more is refused alike.
bool readHeader(PyObject* data, Header& header) {
    const int here = originals::isStock(Stock::structUnpack);
    if (here < 0) {
        return false;
    }
    if (here > 0 && PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) == 13) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
        Header fields{};
        for (int i = 0; i < 2; ++i) {
            const std::uint32_t value = bigEndian32(bytes + 4 * i);
            if (value > 0x7FFFFFFFu) {
                PyErr_SetString(PyExc_OverflowError, py::kIntTooLarge);
                return false;
            }
            fields[i] = static_cast<std::int32_t>(value);
        }
        std::copy(bytes + 8, bytes + 13, fields.begin() + 2);
        header = fields;
        return true;
    }
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

// The header checks in the order in which they are made, each with its refusal.
struct HeaderCheck {
    bool (*refuses)(const Header&);
    const char* refusal;
};

constexpr HeaderCheck kHeaderChecks[] = {
    {[](const Header& h) { return std::ranges::find(h, -1) != h.end(); },
     "Incomplete PNG header information"},
    {[](const Header& h) { return h[kBitDepthField] != kBitDepth; },
     "Only 8-bit PNG images are supported"},
    {[](const Header& h) {
         return h[kColourTypeField] != kColourRgb && h[kColourTypeField] != kColourRgba;
     },
     "Only RGB/RGBA PNG images are supported"},
    {[](const Header& h) {
         return h[kCompressionField] != 0 || h[kFilterMethodField] != 0 ||
                h[kInterlaceField] != 0;
     },
     "Unsupported PNG configuration (compression/filter/interlace)"},
};

bool checkHeader(const Header& header) {
    for (const HeaderCheck& check : kHeaderChecks) {
        if (check.refuses(header)) {
            PyErr_SetString(PyExc_ValueError, check.refusal);
            return false;
        }
    }
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
        PyErr_SetString(PyExc_ValueError, kUnsupportedSignature);
    }
    return differs == 0;
}

// `chunkType, data = _readChunk(stream)`, with `_readChunk` looked up now; the
// module's own is run here, without a call through Python.
bool nextChunk(PyObject* stream, Ref& chunkType, Ref& data) {
    const int own = originals::isStock(Stock::readChunk);
    if (own < 0) {
        return false;
    }
    if (own > 0) {
        return readChunkFields(stream, chunkType, data);
    }
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

// --- chunks in place ---------------------------------------------------------

// Whether chunks can be read in place: `_readChunk`, `struct.unpack`,
// `zlib.crc32` and `PNG_SIGNATURE` are the module's own, so that reading
// through them would run no other code. A failed lookup says no: the stream
// route then meets it where it would arise.
bool canReadInPlace() {
    for (const Stock name : {Stock::readChunk, Stock::structUnpack, Stock::zlibCrc32,
                             Stock::pngSignature}) {
        const int stock = originals::isStock(name);
        if (stock <= 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

Ref bytesOf(Bytes bytes) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<Py_ssize_t>(bytes.size())));
}

bool isType(Bytes chunkType, const char* name) {
    return chunkType.size() == 4 && std::memcmp(chunkType.data(), name, 4) == 0;
}

// One chunk read in place into the sequence; the data of an IDAT chunk stays
// where it is, in the buffer.
bool recordInPlace(ChunkSequence& sequence, Bytes chunkType, Bytes data) {
    const bool isIdat = isType(chunkType, "IDAT");
    Ref typeObject = bytesOf(chunkType);
    if (!typeObject) {
        return false;
    }
    Ref dataObject = isIdat ? Ref::none() : bytesOf(data);
    if (!dataObject) {
        return false;
    }
    if (isType(chunkType, "IHDR") && !readHeader(dataObject.get(), sequence.header)) {
        return false;
    }
    Ref length = Ref::steal(PyLong_FromSize_t(data.size()));
    if (!length || !sequence.record(typeObject.get(), dataObject.get(), length.get())) {
        return false;
    }
    return !isIdat || sequence.idat.appendView(data);
}

// The signature and the chunks, read from `cursor`.
bool readInPlace(ChunkCursor& cursor, ChunkSequence& sequence) {
    const Bytes signature = cursor.read(8);
    if (signature.size() != kSignature.size() ||
        std::memcmp(signature.data(), kSignature.data(), kSignature.size()) != 0) {
        PyErr_SetString(PyExc_ValueError, kUnsupportedSignature);
        return false;
    }
    if (!sequence.start()) {
        return false;
    }
    for (;;) {
        Bytes chunkType;
        Bytes data;
        if (!cursor.next(chunkType, data)) {
            return false;
        }
        if (chunkType.empty()) {
            return true;
        }
        if (!recordInPlace(sequence, chunkType, data)) {
            return false;
        }
        if (isType(chunkType, "IEND")) {
            return true;
        }
    }
}

// The chunks of a held stream, read in place from its buffer; the stream is
// then left where reading it would have left it, also after an error.
bool readHeldInPlace(PyObject* stream, const py::HeldContent& content, ChunkSequence& sequence) {
    ChunkCursor cursor(content.bytes(), content.position);
    const bool read = readInPlace(cursor, sequence);
    return py::leaveAt(stream, cursor.position(), read);
}

// --- the image -----------------------------------------------------------------

std::optional<DecodedImage> decodeImage(ChunkSequence& sequence) {
    if (!checkHeader(sequence.header)) {
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

}  // namespace

std::optional<DecodedImage> _loadPng(PyObject* stream) {
    // Holds the bytes that chunks read in place point into.
    const std::optional<py::HeldContent> content =
        canReadInPlace() ? py::holdContent(stream) : std::nullopt;
    ChunkSequence sequence;
    if (content) {
        if (!readHeldInPlace(stream, *content, sequence)) {
            return std::nullopt;
        }
    } else if (!checkSignature(stream) || !readChunks(stream, sequence)) {
        return std::nullopt;
    }
    return decodeImage(sequence);
}

std::optional<DecodedImage> loadPngFromBytes(PyObject* bytes) {
    if (!canReadInPlace()) {
        Ref stream = py::bytesStream(bytes);
        if (!stream) {
            return std::nullopt;
        }
        return _loadPng(stream.get());
    }
    ChunkSequence sequence;
    ChunkCursor cursor({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))},
                       0);
    if (!readInPlace(cursor, sequence)) {
        return std::nullopt;
    }
    return decodeImage(sequence);
}

}  // namespace png
