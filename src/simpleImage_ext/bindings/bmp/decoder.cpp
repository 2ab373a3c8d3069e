#include "bindings/bmp/decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "bmp/decode.hpp"
#include "bmp/format.hpp"
#include "bmp/refusals.hpp"
#include "capi/allocation.hpp"
#include "capi/bytes.hpp"
#include "capi/conversions.hpp"
#include "capi/stream.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/sizes.hpp"
#include "module/own_names.hpp"
#include "module/struct_module.hpp"

namespace bmp {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

// Raises `refusal` as the ValueError its entry in the refusal list words.
void raise(Refusal refusal) { PyErr_SetString(PyExc_ValueError, messageOf(refusal)); }


// `value != expected` with the interpreter's comparison: 1, 0, or -1 with an error.
int differs(PyObject* value, long expected) {
    Ref expectedObject = Ref::steal(PyLong_FromLong(expected));
    if (!expectedObject) {
        return -1;
    }
    return PyObject_RichCompareBool(value, expectedObject.get(), Py_NE);
}

// stream.read(size); `refusal` is raised when fewer than `size` bytes come back.
Ref readAtLeast(PyObject* stream, std::int64_t size, Refusal refusal) {
    Ref bytes = py::read(stream, size);
    if (!bytes) {
        return {};
    }
    const Py_ssize_t length = py::length(bytes.get());
    if (length < 0) {
        return {};
    }
    if (length < size) {
        raise(refusal);
        return {};
    }
    return bytes;
}

// The file header: "BM", then fileSize, two reserved fields and the offset of
// the pixel array. Returns the offset.
Ref readFileHeader(PyObject* stream) {
    Ref header = readAtLeast(stream, kFileHeaderSize, Refusal::unsupportedHeader);
    if (!header) {
        return {};
    }
    const int isBmp = py::prefixEquals(header.get(), 2, "BM");
    if (isBmp < 0) {
        return {};
    }
    if (isBmp == 0) {
        raise(Refusal::unsupportedHeader);
        return {};
    }
    Ref fields = Ref::steal(PySequence_GetSlice(header.get(), 2, kFileHeaderSize));
    Ref values[4];
    if (!fields || !py::structUnpack(kFileHeaderFormat, fields.get(), values, 4)) {
        return {};
    }
    return values[3];
}

// The 40-byte information header: its size, then the ten fields.
bool readInfoHeader(PyObject* stream, Ref (&info)[kInfoFields]) {
    Ref sizeBytes = readAtLeast(stream, 4, Refusal::corruptedDibHeader);
    Ref size[1];
    if (!sizeBytes || !py::structUnpack(kInfoSizeFormat, sizeBytes.get(), size, 1)) {
        return false;
    }
    const int otherHeader = differs(size[0].get(), kInfoHeaderSize);
    if (otherHeader != 0) {
        if (otherHeader > 0) {
            raise(Refusal::onlyInfoHeader);
        }
        return false;
    }
    Ref fields = py::read(stream, 36);
    if (!fields || !py::structUnpack(kInfoFieldsFormat, fields.get(), info, kInfoFields)) {
        return false;
    }
    // planes, bits per pixel and compression, tested in this order
    const std::pair<InfoField, long> required[] = {
        {kPlanesField, kPlanes}, {kBitsPerPixelField, kBitsPerPixel},
        {kCompressionField, kNoCompression}};
    for (auto [field, value] : required) {
        const int unsupported = differs(info[field].get(), value);
        if (unsupported != 0) {
            if (unsupported > 0) {
                raise(Refusal::onlyUncompressed24Bit);
            }
            return false;
        }
    }
    return true;
}

// The header record: {"xppm", "yppm", "clrUsed", "clrImportant"}, in this order,
// from the information header's fields as `field(InfoField)` gives them.
template <class Field>
Ref headerRecord(Field field) {
    constexpr InfoField kRecordSources[] = {kXppmField, kYppmField, kClrUsedField,
                                            kClrImportantField};
    static_assert(std::size(kRecordSources) == kRecordFields.size());
    Ref record = Ref::steal(PyDict_New());
    if (!record) {
        return {};
    }
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
        Ref value = field(kRecordSources[i]);
        if (!value || PyDict_SetItemString(record.get(), kRecordFields[i].key, value.get()) < 0) {
            return {};
        }
    }
    return record;
}

// Where the file's rows go. When the source is known to hold every row, the
// pixel buffer is allocated whole and each row goes straight to its image row.
// Otherwise the header may promise far more than the source holds: the buffer
// then grows with the rows read, in file order, and a bottom-up image is turned
// the right way up once every row has arrived. Memory then follows the rows the
// source really delivered, and every file ends as it would with a whole buffer.
class PixelRows {
public:
    // The size was checked as bytearray(n) checks it, so it fits in a Py_ssize_t.
    PixelRows(const Layout& layout, bool whole)
        : layout_(layout),
          whole_(whole),
          rowBytes_(static_cast<std::size_t>(std::max<std::int32_t>(layout.width, 0)) * 3),
          rowCount_(static_cast<std::size_t>(layout.rowCount)) {}

    bool allocate() {
        const std::size_t size = whole_ ? rowBytes_ * rowCount_ : 0;
        buffer_ = py::newByteArray(static_cast<std::int64_t>(size));
        return static_cast<bool>(buffer_);
    }

    // File row `r`, as BGR; the padding is ignored.
    bool store(std::int64_t r, const char* bgr) {
        std::int64_t offset = 0;
        if (!destinationOffset(r, offset)) {
            return false;
        }
        if (!whole_) {
            if (!reserveRows(static_cast<std::size_t>(r) + 1)) {
                return false;
            }
            offset = r * static_cast<std::int64_t>(rowBytes_);  // file order, until finish()
        }
        kernels::swapRedBlue(reinterpret_cast<const std::uint8_t*>(bgr),
                             static_cast<std::size_t>(layout_.width),
                             py::byteArraySpan(buffer_.get()).data() + offset);
        return true;
    }

    // Once every row has been stored: the pixel buffer, rows top to bottom.
    Ref finish() {
        if (!whole_ && layout_.height > 0) {
            kernels::reverseRows(py::byteArraySpan(buffer_.get()).data(), rowBytes_, rowCount_);
        }
        return std::move(buffer_);
    }

private:
    // The offset of the image row that file row `r` fills; OverflowError
    // beyond the plane's 32-bit offsets.
    bool destinationOffset(std::int64_t r, std::int64_t& offset) const {
        const std::optional<std::int64_t> found = rowOffset(layout_, r);
        if (!found) {
            PyErr_SetString(PyExc_OverflowError, py::kIntTooLarge);
            return false;
        }
        offset = *found;
        return true;
    }

    // Grows the buffer to hold at least `rows` rows in file order.
    bool reserveRows(std::size_t rows) {
        if (rows <= capacityRows_) {
            return true;
        }
        const std::size_t capacity =
            sizes::grownRowCapacity(rows, capacityRows_, rowBytes_, rowCount_);
        if (PyByteArray_Resize(buffer_.get(), static_cast<Py_ssize_t>(capacity * rowBytes_)) < 0) {
            return false;
        }
        capacityRows_ = capacity;
        return true;
    }

    Layout layout_;
    bool whole_;
    std::size_t rowBytes_;
    std::size_t rowCount_;
    std::size_t capacityRows_ = 0;
    Ref buffer_;
};

// One stream.read per file row, each exactly `rowStride` bytes of exact bytes.
bool readRows(PyObject* stream, const Layout& layout, PixelRows& pixels) {
    Ref stride = Ref::steal(PyLong_FromLongLong(layout.rowStride));
    if (!stride) {
        return false;
    }
    // Rows of width 0 hold no bytes, so one read stands for all of them: a
    // header declaring two billion such rows must not cost two billion calls.
    const std::int64_t reads = layout.rowStride == 0 ? std::min<std::int64_t>(layout.rowCount, 1)
                                                     : layout.rowCount;
    for (std::int64_t r = 0; r < reads; ++r) {
        Ref row = py::read(stream, stride.get());
        if (!row) {
            return false;
        }
        if (row.get() != Py_None && !PyBytes_CheckExact(row.get())) {
            py::raiseExpectedType("bytes", row.get());
            return false;
        }
        const Py_ssize_t length = py::length(row.get());  // None: "has no len()"
        if (length < 0) {
            return false;
        }
        if (length != layout.rowStride) {
            raise(Refusal::incompletePixelData);
            return false;
        }
        if (!pixels.store(r, PyBytes_AS_STRING(row.get()))) {
            return false;
        }
    }
    return true;
}

// Whether the source is known to hold every row the header promises after
// `offset`. A header cannot then reserve memory that no row fills.
bool streamHoldsEveryRow(PyObject* stream, PyObject* offset, const Layout& layout) {
    const auto rowBytes = sizes::multiply(layout.rowCount, layout.rowStride);
    if (!rowBytes) {
        return false;
    }
    if (*rowBytes == 0) {
        return true;
    }
    // Converting anything but an exact int could run Python code.
    if (!PyLong_CheckExact(offset)) {
        return false;
    }
    const std::optional<std::int64_t> length = py::knownLength(stream);
    if (!length) {
        return false;
    }
    int overflow = 0;
    const long long start = PyLong_AsLongLongAndOverflow(offset, &overflow);
    return overflow == 0 && start >= 0 && start <= *length && *rowBytes <= *length - start;
}

std::optional<py::DecodedImage> loadLiterally(PyObject* stream) {
    Ref offset = readFileHeader(stream);
    Ref info[kInfoFields];
    if (!offset || !readInfoHeader(stream, info)) {
        return std::nullopt;
    }
    Layout layout{};
    if (!py::toInt32(info[kWidthField].get(), layout.width) ||
        !py::toInt32(info[kHeightField].get(), layout.height)) {
        return std::nullopt;
    }
    layout.rowCount = layout.height < 0 ? -std::int64_t{layout.height} : layout.height;
    // A negative width with rows fails here, so the stride is only used for
    // widths of 0 and more.
    if (!py::acceptsByteArraySize(
            sizes::multiply(sizes::multiply(layout.width, layout.rowCount), 3))) {
        return std::nullopt;
    }
    layout.rowStride = rowStride(layout.width);
    // Not zero-filled: every byte is written by a row.
    PixelRows pixels(layout, streamHoldsEveryRow(stream, offset.get(), layout));
    if (!pixels.allocate() || !py::seek(stream, offset.get()) ||
        !readRows(stream, layout, pixels)) {
        return std::nullopt;
    }
    py::DecodedImage decoded;
    decoded.pixels = pixels.finish();
    decoded.width = info[kWidthField];
    decoded.height = Ref::steal(PyNumber_Absolute(info[kHeightField].get()));
    if (!decoded.height) {
        return std::nullopt;
    }
    decoded.bmpHeaderRecord = headerRecord([&info](InfoField field) { return info[field]; });
    if (!decoded.bmpHeaderRecord) {
        return std::nullopt;
    }
    decoded.channels = Ref::steal(PyLong_FromLong(3));
    if (!decoded.channels) {
        return std::nullopt;
    }
    return decoded;
}

// --- the byte route ----------------------------------------------------------

// Raises what reading the headers refused; for fields cut short, struct.unpack's
// own words, which the module's own `struct` gives.
void raiseHeaderRefusal(const Headers& headers, std::optional<Refusal> refusal) {
    if (refusal) {
        raise(*refusal);
        return;
    }
    Ref cut = py::bytesFrom(*headers.cutInfo);
    Ref info[kInfoFields];
    if (cut) {
        py::structUnpack(kInfoFieldsFormat, cut.get(), info, kInfoFields);
    }
}

// The image of a held file whose headers were read up to `end`, which then
// moves to where the rows leave the stream.
std::optional<py::DecodedImage> decodeHeld(ByteSpan bytes, const Headers& headers,
                                           std::size_t& end) {
    const Layout layout = Layout::of(headers);
    // A negative width with rows fails here.
    if (!py::acceptsByteArraySize(layout.planeSize())) {
        return std::nullopt;
    }
    // Only a file that holds every row fills a plane; any other ends in an
    // error, found without one.
    const bool whole = holdsEveryRow(bytes, headers.offset, layout);
    Ref pixels = py::newByteArray(whole ? *layout.planeSize() : 0);
    if (!pixels) {
        return std::nullopt;
    }
    const RowsEnd rows =
        readRows(bytes, headers.offset, layout, py::byteArraySpan(pixels.get()), end);
    if (rows == RowsEnd::incomplete) {
        raise(Refusal::incompletePixelData);
        return std::nullopt;
    }
    if (rows == RowsEnd::offsetTooLarge) {
        PyErr_SetString(PyExc_OverflowError, py::kIntTooLarge);
        return std::nullopt;
    }
    py::DecodedImage decoded;
    decoded.pixels = std::move(pixels);
    decoded.width = Ref::steal(PyLong_FromLong(layout.width));
    decoded.height = Ref::steal(PyLong_FromLongLong(layout.rowCount));
    decoded.channels = Ref::steal(PyLong_FromLong(3));
    decoded.bmpHeaderRecord = headerRecord([&headers](InfoField field) {
        return Ref::steal(PyLong_FromLongLong(headers.info[field]));
    });
    if (!decoded.width || !decoded.height || !decoded.channels || !decoded.bmpHeaderRecord) {
        return std::nullopt;
    }
    return decoded;
}

// The byte route over a held stream, which is then left where reading it would
// have left it, also after an error.
std::optional<py::DecodedImage> loadHeld(PyObject* stream, const py::HeldContent& content) {
    const ByteSpan bytes = content.bytes();
    Headers headers;
    std::size_t end = content.position;
    const std::optional<Refusal> refusal = readHeaders(bytes, content.position, headers, end);
    std::optional<py::DecodedImage> decoded;
    if (refusal || headers.cutInfo) {
        raiseHeaderRefusal(headers, refusal);
    } else {
        decoded = decodeHeld(bytes, headers, end);
    }
    if (!py::leaveAt(stream, end, decoded.has_value())) {
        return std::nullopt;
    }
    return decoded;
}

}  // namespace

std::optional<py::DecodedImage> _loadBmp(PyObject* stream) {
    constexpr own_names::Name kHeaderNames[] = {own_names::Name::structUnpack};
    if (own_names::allOwn(kHeaderNames)) {
        // Holds the bytes that the rows are read from.
        if (const std::optional<py::HeldContent> content = py::holdContent(stream)) {
            return loadHeld(stream, *content);
        }
    }
    return loadLiterally(stream);
}

}  // namespace bmp
