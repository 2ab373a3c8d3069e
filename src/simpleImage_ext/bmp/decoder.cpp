#include "bmp/decoder.hpp"

#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/stream.hpp"
#include "glue/struct_module.hpp"
#include "image/pixel_rows.hpp"
#include "image/sizes.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace bmp {
namespace {

using py::Ref;

constexpr const char* kUnsupportedHeader = "Unsupported BMP header";
constexpr const char* kCorruptedDibHeader = "Corrupted BMP DIB header";
constexpr const char* kOnlyInfoHeader = "Only BITMAPINFOHEADER BMP files are supported";
constexpr const char* kOnlyUncompressed24Bit = "Only uncompressed 24-bit BMP files are supported";
constexpr const char* kIncompletePixelData = "Incomplete BMP pixel data";

constexpr std::int64_t kFileHeaderSize = 14;
constexpr std::int64_t kInfoHeaderSize = 40;

// The fields of the information header after its size, in file order.
enum InfoField {
    kWidth, kHeight, kPlanes, kBitsPerPixel, kCompression, kImageSize,
    kXppm, kYppm, kClrUsed, kClrImportant,
};
constexpr Py_ssize_t kInfoFields = 10;

// `value != expected` with the interpreter's comparison: 1, 0, or -1 with an error.
int differs(PyObject* value, long expected) {
    Ref expectedObject = Ref::steal(PyLong_FromLong(expected));
    return expectedObject ? PyObject_RichCompareBool(value, expectedObject.get(), Py_NE) : -1;
}

// stream.read(size); `refusal` is raised when fewer than `size` bytes come back.
Ref readAtLeast(PyObject* stream, std::int64_t size, const char* refusal) {
    Ref bytes = py::read(stream, size);
    const Py_ssize_t length = bytes ? py::length(bytes.get()) : -1;
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
    const int isBmp = header ? py::prefixEquals(header.get(), 2, "BM") : -1;
    if (isBmp == 0) {
        PyErr_SetString(PyExc_ValueError, kUnsupportedHeader);
    }
    Ref fields = isBmp > 0 ? Ref::steal(PySequence_GetSlice(header.get(), 2, kFileHeaderSize))
                           : Ref{};
    Ref values[4];
    if (!fields || !py::structUnpack("<IHHI", fields.get(), values, 4)) {
        return {};
    }
    return values[3];
}

// The 40-byte information header: its size, then the ten fields.
bool readInfoHeader(PyObject* stream, Ref (&info)[kInfoFields]) {
    Ref sizeBytes = readAtLeast(stream, 4, kCorruptedDibHeader);
    Ref size[1];
    if (!sizeBytes || !py::structUnpack("<I", sizeBytes.get(), size, 1)) {
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
    if (!fields || !py::structUnpack("<iiHHIIiiII", fields.get(), info, kInfoFields)) {
        return false;
    }
    // planes, bits per pixel and compression, tested in this order
    const std::pair<InfoField, long> required[] = {
        {kPlanes, 1}, {kBitsPerPixel, 24}, {kCompression, 0}};
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

Ref headerRecord(const Ref (&info)[kInfoFields]) {
    return Ref::steal(Py_BuildValue("{sOsOsOsO}", "xppm", info[kXppm].get(), "yppm",
                                    info[kYppm].get(), "clrUsed", info[kClrUsed].get(),
                                    "clrImportant", info[kClrImportant].get()));
}

struct Layout {
    std::int32_t width;
    std::int32_t height;       // negative for a top-down file
    std::int64_t rowCount;     // |height|
    std::int64_t rowStride;    // file bytes per row, padded to whole 4-byte words
};

// The image row that file row `r` fills, and the offset of its first byte in
// the pixel buffer, which is held as a 32-bit signed integer. The row index
// itself always fits: it is below |height|, and a negative height means top-down.
// The product cannot overflow: it is below the size of the allocated buffer.
bool destinationOffset(const Layout& layout, std::int64_t r, std::int64_t& offset) {
    const std::int64_t y = layout.height > 0 ? layout.rowCount - 1 - r : r;
    offset = y * layout.width * 3;
    if (offset > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, py::kIntTooLarge);
        return false;
    }
    return true;
}

// File row `bgr` into its image row of the pixel buffer, as RGB; the padding is ignored.
bool storeRow(const Layout& layout, std::int64_t r, const char* bgr, PyObject* pixels) {
    std::int64_t offset = 0;
    if (!destinationOffset(layout, r, offset)) {
        return false;
    }
    pixel_rows::swapRedBlue(reinterpret_cast<const std::uint8_t*>(bgr),
                            static_cast<std::size_t>(layout.width),
                            py::byteArraySpan(pixels).data() + offset);
    return true;
}

// True for an exact io.BytesIO, whose reads and seeks run no Python code.
bool isPlainBytesIO(PyObject* stream) {
    Ref io = Ref::steal(PyImport_ImportModule("_io"));
    Ref type = io ? Ref::steal(PyObject_GetAttrString(io.get(), "BytesIO")) : Ref{};
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(stream)) == type.get();
}

// The rows of an exact io.BytesIO, taken from its buffer: the same bytes, errors
// and final position as one read per row, without a bytes object and a copy
// for every row. `getvalue` hands out the buffer itself, not a copy.
bool readRowsInPlace(PyObject* stream, const Layout& layout, PyObject* pixels) {
    Ref data = Ref::steal(PyObject_CallMethod(stream, "getvalue", nullptr));
    Ref position = data ? Ref::steal(PyObject_CallMethod(stream, "tell", nullptr)) : Ref{};
    const std::int64_t start = position ? PyLong_AsLongLong(position.get()) : -1;
    if (start < 0) {
        return false;
    }
    const std::int64_t size = PyBytes_GET_SIZE(data.get());
    std::int64_t at = start;
    bool stored = true;
    for (std::int64_t r = 0; r < layout.rowCount && stored; ++r) {
        if (at + layout.rowStride > size) {
            // A short read consumes what is left.
            at = std::max(at, size);
            PyErr_SetString(PyExc_ValueError, kIncompletePixelData);
            stored = false;
            break;
        }
        const char* row = PyBytes_AS_STRING(data.get()) + at;
        at += layout.rowStride;
        stored = storeRow(layout, r, row, pixels);
    }
    PyObject* raised = PyErr_GetRaisedException();
    Ref end = Ref::steal(PyLong_FromLongLong(at));
    const bool moved = end && py::seek(stream, end.get());
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);  // the row's error, not the seek's, if both failed
    }
    return stored && moved;
}

// One stream.read per file row, each exactly `rowStride` bytes of exact bytes.
bool readRows(PyObject* stream, const Layout& layout, PyObject* pixels) {
    if (layout.rowStride > 0 && isPlainBytesIO(stream)) {
        return readRowsInPlace(stream, layout, pixels);
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
        if (!storeRow(layout, r, PyBytes_AS_STRING(row.get()), pixels)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Ref _loadBmp(PyObject* stream) {
    Ref offset = readFileHeader(stream);
    Ref info[kInfoFields];
    if (!offset || !readInfoHeader(stream, info)) {
        return {};
    }
    Layout layout{};
    if (!py::toInt32(info[kWidth].get(), layout.width) ||
        !py::toInt32(info[kHeight].get(), layout.height)) {
        return {};
    }
    layout.rowCount = layout.height < 0 ? -std::int64_t{layout.height} : layout.height;
    // Not zero-filled: every byte is written by a row, and a header that
    // promises more rows than the file holds fails before most pages are touched.
    Ref pixels = py::newByteArray(
        sizes::multiply(sizes::multiply(layout.width, layout.rowCount), 3));
    if (!pixels) {
        return {};
    }
    // A negative width left a row count of 0, so the stride is only used for
    // widths of 0 and more.
    layout.rowStride = (std::int64_t{layout.width} * 3 + 3) / 4 * 4;
    if (!py::seek(stream, offset.get()) || !readRows(stream, layout, pixels.get())) {
        return {};
    }
    Ref height = Ref::steal(PyNumber_Absolute(info[kHeight].get()));
    Ref record = height ? headerRecord(info) : Ref{};
    if (!record) {
        return {};
    }
    return Ref::steal(Py_BuildValue("(OOOiOOOO)", info[kWidth].get(), height.get(),
                                    pixels.get(), 3, Py_None, Py_None, record.get(), Py_None));
}

}  // namespace bmp
