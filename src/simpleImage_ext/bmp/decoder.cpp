#include "bmp/decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmp/format.hpp"
#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/stream.hpp"
#include "glue/struct_module.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/sizes.hpp"

namespace bmp {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

constexpr const char* kUnsupportedHeader = "Unsupported BMP header";
constexpr const char* kCorruptedDibHeader = "Corrupted BMP DIB header";
constexpr const char* kOnlyInfoHeader = "Only BITMAPINFOHEADER BMP files are supported";
constexpr const char* kOnlyUncompressed24Bit = "Only uncompressed 24-bit BMP files are supported";
constexpr const char* kIncompletePixelData = "Incomplete BMP pixel data";

// The fields of the information header after its size, in file order.
enum InfoField {
    kWidthField, kHeightField, kPlanesField, kBitsPerPixelField, kCompressionField,
    kImageSizeField, kXppmField, kYppmField, kClrUsedField, kClrImportantField,
};
constexpr Py_ssize_t kInfoFields = 10;

// `value != expected` with the interpreter's comparison: 1, 0, or -1 with an error.
int differs(PyObject* value, long expected) {
    Ref expectedObject = Ref::steal(PyLong_FromLong(expected));
    if (!expectedObject) {
        return -1;
    }
    return PyObject_RichCompareBool(value, expectedObject.get(), Py_NE);
}

// stream.read(size); `refusal` is raised when fewer than `size` bytes come back.
Ref readAtLeast(PyObject* stream, std::int64_t size, const char* refusal) {
    Ref bytes = py::read(stream, size);
    if (!bytes) {
        return {};
    }
    const Py_ssize_t length = py::length(bytes.get());
    if (length < 0) {
        return {};
    }
    if (length < size) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return {};
    }
    return bytes;
}

// The file header: "BM", then fileSize, two reserved fields and the offset of
// the pixel array. Returns the offset.
Ref readFileHeader(PyObject* stream) {
    Ref header = readAtLeast(stream, kFileHeaderSize, kUnsupportedHeader);
    if (!header) {
        return {};
    }
    const int isBmp = py::prefixEquals(header.get(), 2, "BM");
    if (isBmp < 0) {
        return {};
    }
    if (isBmp == 0) {
        PyErr_SetString(PyExc_ValueError, kUnsupportedHeader);
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
    Ref sizeBytes = readAtLeast(stream, 4, kCorruptedDibHeader);
    Ref size[1];
    if (!sizeBytes || !py::structUnpack(kInfoSizeFormat, sizeBytes.get(), size, 1)) {
        return false;
    }
    const int otherHeader = differs(size[0].get(), kInfoHeaderSize);
    if (otherHeader != 0) {
        if (otherHeader > 0) {
            PyErr_SetString(PyExc_ValueError, kOnlyInfoHeader);
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
                PyErr_SetString(PyExc_ValueError, kOnlyUncompressed24Bit);
            }
            return false;
        }
    }
    return true;
}

// The header record: {"xppm", "yppm", "clrUsed", "clrImportant"}, in this order.
Ref headerRecord(const Ref (&info)[kInfoFields]) {
    constexpr InfoField kRecordSources[] = {kXppmField, kYppmField, kClrUsedField,
                                            kClrImportantField};
    static_assert(std::size(kRecordSources) == kRecordFields.size());
    Ref record = Ref::steal(PyDict_New());
    if (!record) {
        return {};
    }
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
        if (PyDict_SetItemString(record.get(), kRecordFields[i].key,
                                 info[kRecordSources[i]].get()) < 0) {
            return {};
        }
    }
    return record;
}

struct Layout {
    std::int32_t width;
    std::int32_t height;       // negative for a top-down file
    std::int64_t rowCount;     // |height|
    std::int64_t rowStride;    // file bytes per row, padded to whole 4-byte words
};

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
    // The offset in the pixel buffer of the image row that file row `r` fills,
    // which is held as a 32-bit signed integer. The row index itself always fits:
    // it is below |height|, and a negative height means top-down. The product
    // cannot overflow: it is below the size of the whole buffer.
    bool destinationOffset(std::int64_t r, std::int64_t& offset) const {
        const std::int64_t y = layout_.height > 0 ? layout_.rowCount - 1 - r : r;
        offset = y * layout_.width * 3;
        if (offset > std::numeric_limits<std::int32_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, py::kIntTooLarge);
            return false;
        }
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

// The rows of a held stream, taken from its buffer: the same bytes, errors and
// final position as one read per row, without a bytes object and a copy for
// every row.
bool readRowsInPlace(PyObject* stream, const py::HeldContent& content, const Layout& layout,
                     PixelRows& pixels) {
    const std::span<const std::uint8_t> bytes = content.bytes();
    const auto size = static_cast<std::int64_t>(bytes.size());
    auto at = static_cast<std::int64_t>(content.position);
    bool stored = true;
    for (std::int64_t r = 0; r < layout.rowCount && stored; ++r) {
        // A seek may have put `at` anywhere, far past the end included.
        if (at > size || layout.rowStride > size - at) {
            // A short read consumes what is left.
            at = std::max(at, size);
            PyErr_SetString(PyExc_ValueError, kIncompletePixelData);
            stored = false;
            break;
        }
        const auto* row = reinterpret_cast<const char*>(bytes.data() + at);
        at += layout.rowStride;
        stored = pixels.store(r, row);
    }
    return py::leaveAt(stream, static_cast<std::size_t>(at), stored);
}

// One stream.read per file row, each exactly `rowStride` bytes of exact bytes.
bool readRows(PyObject* stream, const Layout& layout, PixelRows& pixels) {
    if (layout.rowStride > 0) {
        if (const std::optional<py::HeldContent> content = py::holdContent(stream)) {
            return readRowsInPlace(stream, *content, layout, pixels);
        }
    }
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
            PyErr_SetString(PyExc_ValueError, kIncompletePixelData);
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
bool holdsEveryRow(PyObject* stream, PyObject* offset, const Layout& layout) {
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

}  // namespace

std::optional<py::DecodedImage> _loadBmp(PyObject* stream) {
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
    PixelRows pixels(layout, holdsEveryRow(stream, offset.get(), layout));
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
    decoded.bmpHeaderRecord = headerRecord(info);
    if (!decoded.bmpHeaderRecord) {
        return std::nullopt;
    }
    decoded.channels = Ref::steal(PyLong_FromLong(3));
    if (!decoded.channels) {
        return std::nullopt;
    }
    return decoded;
}

}  // namespace bmp
