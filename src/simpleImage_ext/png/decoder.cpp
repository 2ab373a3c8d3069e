#include "png/decoder.hpp"

#include "glue/byte_view.hpp"
#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/stream.hpp"
#include "glue/struct_module.hpp"
#include "image/pixel_rows.hpp"
#include "image/sizes.hpp"
#include "png/filters.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace png {
namespace {

using py::Ref;
using module_record::callGlobal;
using module_record::global;

constexpr const char* kUnsupportedSignature = "Unsupported PNG signature";
constexpr const char* kIncompleteHeader = "Incomplete PNG header information";
constexpr const char* kOnly8Bit = "Only 8-bit PNG images are supported";
constexpr const char* kOnlyRgbRgba = "Only RGB/RGBA PNG images are supported";
constexpr const char* kUnsupportedConfiguration =
    "Unsupported PNG configuration (compression/filter/interlace)";
constexpr const char* kMalformedImageData = "Malformed PNG image data";
constexpr const char* kUnsupportedFilter = "Unsupported PNG filter: %d";
// What zlib.decompress says about a stream that stops before its end.
constexpr const char* kTruncatedStream =
    "Error -5 while decompressing data: incomplete or truncated stream";
constexpr const char* kNotAnException = "exceptions must derive from BaseException";

constexpr int kColourRgb = 2;
constexpr int kColourRgba = 6;

// The IHDR fields in file order; -1 until an IHDR supplies them.
enum HeaderField {
    kWidth, kHeight, kBitDepth, kColourType, kCompression, kFilterMethod, kInterlace,
};
constexpr std::size_t kHeaderFields = 7;
using Header = std::array<std::int32_t, kHeaderFields>;

// Everything the chunk loop collects: the chunk list and, until they are
// inflated, the IDAT payloads.
struct ChunkSequence {
    Ref chunks;
    std::vector<Ref> idatParts;
    Header header;
};

// --- chunks --------------------------------------------------------------

bool checkSignature(PyObject* stream) {
    Ref signature = py::read(stream, 8);
    Ref expected = signature ? global("PNG_SIGNATURE") : Ref{};
    const int differs =
        expected ? PyObject_RichCompareBool(signature.get(), expected.get(), Py_NE) : -1;
    if (differs > 0) {
        PyErr_SetString(PyExc_ValueError, kUnsupportedSignature);
    }
    return differs == 0;
}

// struct.unpack(">IIBBBBB", data) into the header fields, each a 32-bit signed int.
bool readHeader(PyObject* data, Header& header) {
    Ref items[kHeaderFields];
    if (!py::structUnpack(">IIBBBBB", data, items, kHeaderFields)) {
        return false;
    }
    Header fields{};
    for (std::size_t i = 0; i < kHeaderFields; ++i) {
        if (!py::toInt32(items[i].get(), fields[i])) {
            return false;
        }
    }
    header = fields;
    return true;
}

// Appends (chunkType, data, len(data)) to the chunk list; IDAT data is kept
// aside for inflating and recorded as None.
bool recordChunk(ChunkSequence& sequence, PyObject* chunkType, PyObject* data, bool isIdat) {
    const Py_ssize_t length = py::length(data);
    Ref lengthObject = length >= 0 ? Ref::steal(PyLong_FromSsize_t(length)) : Ref{};
    Ref record = lengthObject ? Ref::steal(PyTuple_Pack(3, chunkType, isIdat ? Py_None : data,
                                                        lengthObject.get()))
                              : Ref{};
    if (!record || PyList_Append(sequence.chunks.get(), record.get()) < 0) {
        return false;
    }
    if (isIdat) {
        sequence.idatParts.push_back(Ref::borrow(data));
    }
    return true;
}

// Reads chunks through the module's `_readChunk` up to IEND or the end of the
// stream. Every chunk is read, and its CRC checked, before the header is judged.
bool readChunks(PyObject* stream, ChunkSequence& sequence) {
    sequence.header.fill(-1);
    sequence.chunks = Ref::steal(PyList_New(0));
    if (!sequence.chunks) {
        return false;
    }
    for (;;) {
        Ref readChunk = global("_readChunk");
        Ref result = readChunk ? Ref::steal(PyObject_CallOneArg(readChunk.get(), stream)) : Ref{};
        Ref chunk[2];
        if (!result || !py::unpack(result.get(), chunk, 2)) {
            return false;
        }
        PyObject* chunkType = chunk[0].get();
        PyObject* data = chunk[1].get();
        const int atEnd = py::equalsBytes(chunkType, "");
        if (atEnd != 0) {
            return atEnd > 0;
        }
        const int isHeader = py::equalsBytes(chunkType, "IHDR");
        if (isHeader < 0 || (isHeader > 0 && !readHeader(data, sequence.header))) {
            return false;
        }
        const int isIdat = py::equalsBytes(chunkType, "IDAT");
        if (isIdat < 0 || !recordChunk(sequence, chunkType, data, isIdat > 0)) {
            return false;
        }
        const int isEnd = py::equalsBytes(chunkType, "IEND");
        if (isEnd != 0) {
            return isEnd > 0;
        }
    }
}

bool checkHeader(const Header& header) {
    const char* refusal = nullptr;
    if (std::find(header.begin(), header.end(), -1) != header.end()) {
        refusal = kIncompleteHeader;
    } else if (header[kBitDepth] != 8) {
        refusal = kOnly8Bit;
    } else if (header[kColourType] != kColourRgb && header[kColourType] != kColourRgba) {
        refusal = kOnlyRgbRgba;
    } else if (header[kCompression] != 0 || header[kFilterMethod] != 0 ||
               header[kInterlace] != 0) {
        refusal = kUnsupportedConfiguration;
    }
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_ValueError, refusal);
    }
    return refusal == nullptr;
}

// --- inflating -----------------------------------------------------------

// The inflated image data, grown as the decompressor delivers it, so that its
// memory follows the data actually inflated, never the size a header promises.
// Growth is by realloc, which the C library serves by remapping pages once
// blocks are large, so a large image is rarely copied while it grows.
class InflatedData {
public:
    explicit InflatedData(std::size_t limit) : limit_(limit) {}
    ~InflatedData() { std::free(data_); }
    InflatedData(const InflatedData&) = delete;
    InflatedData& operator=(const InflatedData&) = delete;

    // Appends `bytes`; false with MemoryError when the buffer cannot grow.
    bool append(std::span<const std::uint8_t> bytes) {
        const std::size_t needed = size_ + bytes.size();
        if (needed > capacity_ && !grow(needed)) {
            return false;
        }
        if (!bytes.empty()) {
            std::memcpy(data_ + size_, bytes.data(), bytes.size());
        }
        size_ = needed;
        return true;
    }

    std::uint8_t* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t remaining() const noexcept { return limit_ - size_; }

private:
    bool grow(std::size_t needed) {
        const std::size_t doubled = capacity_ > limit_ / 2 ? limit_ : capacity_ * 2;
        const std::size_t capacity = std::max(needed, doubled);
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<std::uint8_t*>(grown);
        capacity_ = capacity;
        return true;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t limit_;
};

// zlib.decompress reports a stream without its end as the module's zlib.error.
void raiseTruncatedStream() {
    Ref zlib = global("zlib");
    Ref error = zlib ? Ref::steal(PyObject_GetAttrString(zlib.get(), "error")) : Ref{};
    if (!error) {
        return;
    }
    if (!PyExceptionClass_Check(error.get())) {
        PyErr_SetString(PyExc_TypeError, kNotAnException);
        return;
    }
    PyErr_SetString(error.get(), kTruncatedStream);
}

// Whether the decompressor has seen the end of its zlib stream.
int streamEnded(PyObject* decompressor) {
    Ref eof = Ref::steal(PyObject_GetAttrString(decompressor, "eof"));
    return eof ? PyObject_IsTrue(eof.get()) : -1;
}

void raiseMalformed() { PyErr_SetString(PyExc_ValueError, kMalformedImageData); }

// Inflates the IDAT parts in order with one decompressor of the module's zlib,
// as zlib.decompress would inflate their concatenation, but never beyond the
// limit of `out`: reaching it means the data is longer than the header allows,
// whatever follows in the stream. The parts are released on return.
bool inflate(std::vector<Ref> parts, InflatedData& out) {
    Ref decompressor = callGlobal("zlib", "decompressobj");
    if (!decompressor) {
        return false;
    }
    for (const Ref& part : parts) {
        const int ended = streamEnded(decompressor.get());
        if (ended != 0) {
            // Whatever follows the end of the stream is ignored.
            return ended > 0;
        }
        Ref decompress = Ref::steal(PyObject_GetAttrString(decompressor.get(), "decompress"));
        Ref budget = decompress ? Ref::steal(PyLong_FromSize_t(out.remaining())) : Ref{};
        Ref piece = budget ? Ref::steal(PyObject_CallFunctionObjArgs(decompress.get(), part.get(),
                                                                     budget.get(), nullptr))
                           : Ref{};
        py::ByteView view;
        if (!piece || !view.acquireReadable(piece.get()) || !out.append(view.bytes())) {
            return false;
        }
        if (out.remaining() == 0) {
            raiseMalformed();
            return false;
        }
    }
    const int ended = streamEnded(decompressor.get());
    if (ended == 0) {
        raiseTruncatedStream();
    }
    return ended > 0;
}

// --- rows ----------------------------------------------------------------

struct Geometry {
    std::int32_t width;
    std::int32_t height;
    int channels;
    // Bytes of one reconstructed row. Negative only for a negative width, which
    // a rebound `struct` can produce; such a geometry never has a row to rebuild,
    // since no data length matches it with a positive height.
    std::int64_t stride;
};

struct Planes {
    Ref pixels;
    Ref alpha;  // None for RGB
    Ref filters;
};

// The three result buffers, created uninitialised: the rows fill every byte.
bool createPlanes(const Geometry& geometry, Planes& planes) {
    planes.pixels = py::newByteArray(sizes::planeSize(geometry.width, geometry.height, 3));
    if (!planes.pixels) {
        return false;
    }
    planes.alpha = geometry.channels == 4
                       ? py::newByteArray(sizes::planeSize(geometry.width, geometry.height, 1))
                       : Ref::none();
    planes.filters = planes.alpha ? py::newByteArray(geometry.height) : Ref{};
    return static_cast<bool>(planes.filters);
}

// Reconstructs every row from the inflated data, whose length has been checked
// against the geometry. RGB rows are reconstructed straight into the pixel
// buffer; RGBA rows are reconstructed in place and then split into pixels and
// alpha.
bool reconstructRows(const Geometry& geometry, std::uint8_t* raw, Planes& planes) {
    const std::size_t width = static_cast<std::size_t>(geometry.width);
    const std::size_t stride = static_cast<std::size_t>(geometry.stride);
    std::uint8_t* pixels = py::byteArraySpan(planes.pixels.get()).data();
    std::uint8_t* alpha =
        geometry.channels == 4 ? py::byteArraySpan(planes.alpha.get()).data() : nullptr;
    std::uint8_t* filters = py::byteArraySpan(planes.filters.get()).data();
    // An empty previous row stands for the row of zeros above the first row.
    std::span<const std::uint8_t> previous;
    for (std::size_t y = 0; y < static_cast<std::size_t>(geometry.height); ++y) {
        std::uint8_t* record = raw + y * (stride + 1);
        const int filterType = record[0];
        filters[y] = record[0];
        const std::span<std::uint8_t> filtered(record + 1, stride);
        const std::span<std::uint8_t> output =
            alpha == nullptr ? std::span<std::uint8_t>(pixels + y * stride, stride) : filtered;
        if (_applyPngFilter(filterType, filtered, previous, geometry.channels, output) != 0) {
            PyErr_Format(PyExc_ValueError, kUnsupportedFilter, filterType);
            return false;
        }
        if (alpha != nullptr) {
            pixel_rows::splitRgba(output.data(), width, pixels + y * width * 3, alpha + y * width);
        }
        previous = output;
    }
    return true;
}

// Inflates the image data, checks its length against the header and rebuilds
// the pixel planes from it.
bool decodeImageData(ChunkSequence& sequence, const Geometry& geometry, Planes& planes) {
    const auto expected = sizes::multiply(sizes::add(geometry.stride, 1), geometry.height);
    // One byte beyond the expected length proves the data too long. A length
    // beyond any buffer never matches; memory runs out first, as it would in
    // zlib.decompress.
    const std::int64_t limit = expected && *expected < PY_SSIZE_T_MAX
                                   ? std::max<std::int64_t>(*expected, 0) + 1
                                   : PY_SSIZE_T_MAX;
    InflatedData raw(static_cast<std::size_t>(limit));
    if (!inflate(std::move(sequence.idatParts), raw)) {
        return false;
    }
    if (!sizes::matches(static_cast<std::int64_t>(raw.size()), expected)) {
        raiseMalformed();
        return false;
    }
    return createPlanes(geometry, planes) && reconstructRows(geometry, raw.data(), planes);
}

}  // namespace

Ref _loadPng(PyObject* stream) {
    ChunkSequence sequence;
    if (!checkSignature(stream) || !readChunks(stream, sequence) ||
        !checkHeader(sequence.header)) {
        return {};
    }
    const Header& header = sequence.header;
    const int channels = header[kColourType] == kColourRgb ? 3 : 4;
    const Geometry geometry{header[kWidth], header[kHeight], channels,
                            std::int64_t{header[kWidth]} * channels};
    Planes planes;
    if (!decodeImageData(sequence, geometry, planes)) {
        return {};
    }
    Ref width = py::fromInt32(geometry.width);
    Ref height = width ? py::fromInt32(geometry.height) : Ref{};
    Ref channelCount = height ? Ref::steal(PyLong_FromLong(channels)) : Ref{};
    if (!channelCount) {
        return {};
    }
    return Ref::steal(PyTuple_Pack(8, width.get(), height.get(), planes.pixels.get(),
                                   channelCount.get(), planes.alpha.get(), sequence.chunks.get(),
                                   Py_None, planes.filters.get()));
}

}  // namespace png
