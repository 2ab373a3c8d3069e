#include "png/decoder.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <utility>
#include <vector>

#include "glue/byte_view.hpp"
#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/module_state.hpp"
#include "glue/names.hpp"
#include "glue/stream.hpp"
#include "glue/struct_module.hpp"
#include "kernels/filters.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/sizes.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::Ref;
using module_state::global;
namespace sizes = kernels::sizes;

constexpr const char* kUnsupportedSignature = "Unsupported PNG signature";
constexpr const char* kMalformedImageData = "Malformed PNG image data";
// What zlib.decompress says about a stream that stops before its end.
constexpr const char* kTruncatedStream =
    "Error -5 while decompressing data: incomplete or truncated stream";
constexpr const char* kNotAnException = "exceptions must derive from BaseException";

// The IHDR fields in file order; -1 until an IHDR supplies them.
enum HeaderField {
    kWidthField, kHeightField, kBitDepthField, kColourTypeField, kCompressionField,
    kFilterMethodField, kInterlaceField,
};
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
    if (!signature) {
        return false;
    }
    Ref expected = global("PNG_SIGNATURE");
    if (!expected) {
        return false;
    }
    const int differs = PyObject_RichCompareBool(signature.get(), expected.get(), Py_NE);
    if (differs > 0) {
        PyErr_SetString(PyExc_ValueError, kUnsupportedSignature);
    }
    return differs == 0;
}

// struct.unpack(">IIBBBBB", data) into the header fields, each a 32-bit signed int.
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

// Appends (chunkType, data, len(data)) to the chunk list; IDAT data is kept
// aside for inflating and recorded as None.
bool recordChunk(ChunkSequence& sequence, PyObject* chunkType, PyObject* data, bool isIdat) {
    Ref length = py::lengthOf(data);
    if (!length) {
        return false;
    }
    Ref record = Ref::steal(PyTuple_Pack(3, chunkType, isIdat ? Py_None : data, length.get()));
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
        if (!readChunk) {
            return false;
        }
        Ref result = Ref::steal(PyObject_CallOneArg(readChunk.get(), stream));
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

// --- rows ------------------------------------------------------------------

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

void raiseMalformed() { PyErr_SetString(PyExc_ValueError, kMalformedImageData); }

// Rebuilds the rows while the image data is inflated, so that the inflated
// stream is never held whole: each piece the decompressor returns is
// reconstructed straight into the pixel planes, and only a row cut by the end of
// a piece is copied aside. The planes grow with the rows that arrive, so memory
// follows the data actually inflated, never the size a header promises.
//
// The file's errors keep their order: the decoder judges the length of the data
// before any filter type, so a row with an unsupported type is only noted, and
// the rows after it are not rebuilt.
class RowBuilder {
public:
    // `reachable`: whether the data at hand can inflate to the expected length at
    // all. Then the planes are allocated whole at the first row, which commits
    // no memory until rows are written, and spares growing them; otherwise they
    // grow with the rows, however the data came to be that long.
    RowBuilder(const Geometry& geometry, std::optional<std::int64_t> expected, bool reachable)
        : geometry_(geometry),
          expected_(expected),
          reachable_(reachable),
          rowCount_(geometry.height > 0 && geometry.stride >= 0 && expected
                        ? static_cast<std::size_t>(geometry.height)
                        : 0),
          stride_(static_cast<std::size_t>(std::max<std::int64_t>(geometry.stride, 0))),
          width_(static_cast<std::size_t>(std::max<std::int32_t>(geometry.width, 0))) {}

    // Takes the next piece of inflated data; false with MemoryError set.
    bool receive(std::span<const std::uint8_t> piece) {
        received_ += static_cast<std::int64_t>(piece.size());
        try {
            return rebuildRecords(piece);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }

    std::int64_t received() const noexcept { return received_; }

    // After the last piece: the length check, then the filter types; hands over
    // the planes at their exact sizes.
    bool finish(Planes& planes) {
        if (!sizes::matches(received_, expected_)) {
            raiseMalformed();
            return false;
        }
        if (unsupported_) {
            PyErr_Format(PyExc_ValueError, kUnsupportedFilter, *unsupported_);
            return false;
        }
        if (!createPlanes() || !resizePlanes(rowCount_)) {
            return false;
        }
        planes.pixels = pixels_;
        planes.alpha = geometry_.channels == 4 ? alpha_ : Ref::none();
        planes.filters = Ref::steal(PyByteArray_FromStringAndSize(
            reinterpret_cast<const char*>(filters_.data()),
            static_cast<Py_ssize_t>(filters_.size())));
        return static_cast<bool>(planes.filters);
    }

private:
    std::size_t recordSize() const noexcept { return stride_ + 1; }

    bool rebuildRecords(std::span<const std::uint8_t> piece) {
        while (!piece.empty() && rows_ < rowCount_) {
            if (pending_.empty() && piece.size() >= recordSize()) {
                if (!rebuild(piece.data())) {
                    return false;
                }
                piece = piece.subspan(recordSize());
                continue;
            }
            const std::size_t taken = std::min(recordSize() - pending_.size(), piece.size());
            pending_.insert(pending_.end(), piece.begin(), piece.begin() + taken);
            piece = piece.subspan(taken);
            if (pending_.size() == recordSize()) {
                if (!rebuild(pending_.data())) {
                    return false;
                }
                pending_.clear();
            }
        }
        return true;
    }

    // One record: the filter type, then the filtered row.
    bool rebuild(const std::uint8_t* record) {
        const std::size_t y = rows_++;
        const std::uint8_t filterType = record[0];
        filters_.push_back(filterType);
        if (unsupported_) {
            return true;
        }
        if (filterType >= kernels::kFilterTypeCount) {
            unsupported_ = filterType;
            return true;
        }
        if (!reserveRows(y + 1)) {
            return false;
        }
        const std::span<const std::uint8_t> filtered(record + 1, stride_);
        std::uint8_t* pixels = py::byteArraySpan(pixels_.get()).data();
        if (geometry_.channels == 3) {
            // RGB rows are rebuilt in place in the pixel plane, against the row above.
            std::uint8_t* row = pixels + y * stride_;
            const auto above = y == 0 ? std::span<const std::uint8_t>{}
                                      : std::span<const std::uint8_t>(row - stride_, stride_);
            kernels::_applyPngFilter(filterType, filtered, above, 3, {row, stride_});
            return true;
        }
        // RGBA rows alternate between two scratch rows, then are split.
        if (scratch_.empty()) {
            scratch_.resize(2 * stride_);
        }
        std::uint8_t* row = scratch_.data() + (y % 2) * stride_;
        const auto above =
            y == 0 ? std::span<const std::uint8_t>{}
                   : std::span<const std::uint8_t>(scratch_.data() + ((y + 1) % 2) * stride_,
                                                   stride_);
        kernels::_applyPngFilter(filterType, filtered, above, 4, {row, stride_});
        kernels::splitRgba(row, width_, pixels + y * width_ * 3,
                              py::byteArraySpan(alpha_.get()).data() + y * width_);
        return true;
    }

    bool createPlanes() {
        if (pixels_) {
            return true;
        }
        pixels_ = py::newByteArray(0);
        if (pixels_ && geometry_.channels == 4) {
            alpha_ = py::newByteArray(0);
        }
        return pixels_ && (geometry_.channels != 4 || alpha_);
    }

    // Grows the planes to hold at least `rows` rows, doubling so that large
    // planes are grown a few times (by remapping, not copying, once they are big).
    bool reserveRows(std::size_t rows) {
        if (rows <= capacityRows_) {
            return true;
        }
        if (!createPlanes()) {
            return false;
        }
        if (reachable_) {
            if (resizePlanes(rowCount_)) {
                return true;
            }
            // Planes too large to allocate whole are grown after all: whether
            // the data really fills them is only known at its end.
            if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
                return false;
            }
            PyErr_Clear();
            reachable_ = false;
        }
        const std::size_t firstRows = kFirstPlaneBytes / std::max<std::size_t>(stride_, 1) + 1;
        return resizePlanes(std::min(rowCount_, std::max({rows, 2 * capacityRows_, firstRows})));
    }

    bool resizePlanes(std::size_t rows) {
        const auto resize = [](PyObject* plane, std::size_t bytes) {
            return PyByteArray_Resize(plane, static_cast<Py_ssize_t>(bytes)) == 0;
        };
        if (!resize(pixels_.get(), rows * width_ * 3) ||
            (geometry_.channels == 4 && !resize(alpha_.get(), rows * width_))) {
            return false;
        }
        capacityRows_ = rows;
        return true;
    }

    static constexpr std::size_t kFirstPlaneBytes = std::size_t{1} << 20;

    Geometry geometry_;
    std::optional<std::int64_t> expected_;
    bool reachable_;
    std::size_t rowCount_;  // rows to rebuild; 0 when no data length can match
    std::size_t stride_;
    std::size_t width_;
    std::int64_t received_ = 0;
    std::size_t rows_ = 0;
    std::size_t capacityRows_ = 0;
    std::optional<int> unsupported_;
    Ref pixels_;
    Ref alpha_;
    std::vector<std::uint8_t> filters_;
    std::vector<std::uint8_t> pending_;  // a record cut by the end of a piece
    std::vector<std::uint8_t> scratch_;  // the current and the previous RGBA row
};

// --- inflating -----------------------------------------------------------

// zlib.decompress reports a stream without its end as the module's zlib.error.
void raiseTruncatedStream() {
    Ref error = module_state::globalAttribute("zlib", "error");
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
    Ref eof = Ref::steal(PyObject_GetAttr(decompressor, py::name("eof")));
    if (!eof) {
        return -1;
    }
    return PyObject_IsTrue(eof.get());
}

// Input is fed in slices and output asked for in pieces that stay in the
// processor's cache while their rows are rebuilt, yet are large enough that the
// calls and the decompressor's copies into its window cost little. A slice
// bounds what the decompressor copies aside as unconsumed input when a piece
// is full.
constexpr Py_ssize_t kSliceSize = 64 * 1024;
constexpr Py_ssize_t kPieceSize = 256 * 1024;

// One decompressor of the module's zlib, inflating as zlib.decompress would
// inflate the concatenation of the IDAT parts, but never beyond `limit` bytes:
// reaching it means the data is longer than the header allows, whatever
// follows in the stream.
class Inflater {
public:
    Inflater(RowBuilder& rows, std::int64_t limit) : rows_(rows), limit_(limit) {}

    bool start() {
        decompressor_ = module_state::callGlobal("zlib", "decompressobj");
        return static_cast<bool>(decompressor_);
    }

    // Feeds one IDAT part; `ended` turns true at the end of the zlib stream,
    // after which whatever follows is ignored.
    bool feed(PyObject* part, bool& ended) {
        const Py_ssize_t size = PyBytes_CheckExact(part) ? PyBytes_GET_SIZE(part) : 0;
        if (size <= kSliceSize) {
            return checkEnded(ended) && (ended || inflate(part));
        }
        Ref whole = Ref::steal(PyMemoryView_FromObject(part));
        for (Py_ssize_t start = 0; whole && start < size; start += kSliceSize) {
            Ref slice = Ref::steal(PySequence_GetSlice(whole.get(), start, start + kSliceSize));
            if (!slice || !checkEnded(ended)) {
                return false;
            }
            if (ended) {
                return true;
            }
            if (!inflate(slice.get())) {
                return false;
            }
        }
        return static_cast<bool>(whole);
    }

    // After the last part: a stream without its end is an error.
    bool finish() {
        bool ended = false;
        if (!checkEnded(ended)) {
            return false;
        }
        if (!ended) {
            raiseTruncatedStream();
        }
        return ended;
    }

private:
    bool checkEnded(bool& ended) {
        const int state = streamEnded(decompressor_.get());
        ended = state > 0;
        return state >= 0;
    }

    // decompress(input, piece) until the input is used up and nothing is left
    // pending; a full piece may leave input unconsumed or output pending.
    bool inflate(PyObject* input) {
        Ref data = Ref::borrow(input);
        for (;;) {
            const Py_ssize_t budget = static_cast<Py_ssize_t>(
                std::min<std::int64_t>(kPieceSize, limit_ - rows_.received()));
            Ref size = Ref::steal(PyLong_FromSsize_t(budget));
            if (!size) {
                return false;
            }
            PyObject* arguments[] = {decompressor_.get(), data.get(), size.get()};
            Ref piece = Ref::steal(PyObject_VectorcallMethod(
                py::name("decompress"), arguments, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            py::ByteView view;
            if (!piece || !view.acquireReadable(piece.get()) || !rows_.receive(view.bytes())) {
                return false;
            }
            if (rows_.received() >= limit_) {
                raiseMalformed();
                return false;
            }
            if (static_cast<Py_ssize_t>(view.bytes().size()) < budget) {
                return true;
            }
            bool ended = false;
            if (!checkEnded(ended)) {
                return false;
            }
            if (ended) {
                return true;
            }
            data = Ref::steal(PyObject_GetAttr(decompressor_.get(), py::name("unconsumed_tail")));
            if (!data) {
                return false;
            }
        }
    }

    RowBuilder& rows_;
    std::int64_t limit_;
    Ref decompressor_;
};

// Deflate codes at least 2 bits for a match of at most 258 bytes, so a byte of
// deflate data inflates to at most 1032 bytes.
constexpr std::int64_t kMostInflatedPerByte = 1032;

// Whether IDAT parts of exact bytes can inflate to `expected` bytes. Parts of
// other types (from a rebound `_readChunk`) give no bound.
bool canInflateTo(const std::vector<Ref>& parts, std::optional<std::int64_t> expected) {
    std::int64_t compressed = 0;
    for (const Ref& part : parts) {
        if (!PyBytes_CheckExact(part.get())) {
            return false;
        }
        compressed += PyBytes_GET_SIZE(part.get());
    }
    return expected && *expected / kMostInflatedPerByte <= compressed;
}

// Inflates the IDAT parts in order and rebuilds the rows from the data as it
// comes; each part is released once it has been inflated.
bool decodeImageData(std::vector<Ref> parts, const Geometry& geometry, Planes& planes) {
    const auto expected = sizes::multiply(sizes::add(geometry.stride, 1), geometry.height);
    // One byte beyond the expected length proves the data too long. A length
    // beyond any buffer never matches; memory runs out first, as it would in
    // zlib.decompress.
    const std::int64_t limit = expected && *expected < PY_SSIZE_T_MAX
                                   ? std::max<std::int64_t>(*expected, 0) + 1
                                   : PY_SSIZE_T_MAX;
    RowBuilder rows(geometry, expected, canInflateTo(parts, expected));
    Inflater inflater(rows, limit);
    if (!inflater.start()) {
        return false;
    }
    bool ended = false;
    for (Ref& part : parts) {
        if (!inflater.feed(part.get(), ended)) {
            return false;
        }
        part = Ref{};  // inflated: its memory can go while the planes grow
        if (ended) {
            break;
        }
    }
    if (!ended && !inflater.finish()) {
        return false;
    }
    return rows.finish(planes);
}

}  // namespace

std::optional<py::DecodedImage> _loadPng(PyObject* stream) {
    ChunkSequence sequence;
    if (!checkSignature(stream) || !readChunks(stream, sequence) ||
        !checkHeader(sequence.header)) {
        return std::nullopt;
    }
    const Header& header = sequence.header;
    const int channels = header[kColourTypeField] == kColourRgb ? 3 : 4;
    const Geometry geometry{header[kWidthField], header[kHeightField], channels,
                            std::int64_t{header[kWidthField]} * channels};
    Planes planes;
    if (!decodeImageData(std::move(sequence.idatParts), geometry, planes)) {
        return std::nullopt;
    }
    py::DecodedImage decoded;
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

}  // namespace png
