#include "bindings/bmp/encoder.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "bindings/output_file.hpp"
#include "bmp/format.hpp"
#include "capi/arguments.hpp"
#include "capi/byte_view.hpp"
#include "capi/bytes.hpp"
#include "capi/conversions.hpp"
#include "kernels/pixel_rows.hpp"
#include "module/struct_module.hpp"

namespace bmp {
namespace {

using py::Ref;

// The words of the IndexError that indexing past the end of the pixel buffer raises.
constexpr const char* kPixelIndexOutOfRange = "bytearray index out of range";

constexpr py::Declaration<5> kWriteBmp{
    "_writeBmp", py::Receiver::module, {"path", "width", "height", "pixels", "meta"}, 4};

enum WriteBmpArgument { kPath, kWidth, kHeight, kPixels, kMeta };

// The values of a header record's fields, in the order of kRecordFields.
using HeaderRecordValues = std::array<Ref, kRecordFields.size()>;

// int(headerRecord.get(key, default)) for one field; the default when there is
// no record (`meta` is None).
Ref recordValue(PyObject* headerRecord, const RecordField& field) {
    Ref fallback = Ref::steal(PyLong_FromLong(field.fallback));
    if (!fallback || headerRecord == Py_None) {
        return fallback;
    }
    Ref value =
        Ref::steal(PyObject_CallMethod(headerRecord, "get", "sO", field.key, fallback.get()));
    if (!value) {
        return {};
    }
    return Ref::steal(PyNumber_Long(value.get()));
}

bool readHeaderRecord(PyObject* headerRecord, HeaderRecordValues& values) {
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
        values[i] = recordValue(headerRecord, kRecordFields[i]);
        if (!values[i]) {
            return false;
        }
    }
    return true;
}

struct Headers {
    Ref file;  // after the "BM" signature: file size, two reserved fields, pixel offset
    Ref info;
};

// Both headers packed through the module's `struct`; every 32-bit field is
// unsigned, so a negative or oversized value fails here with struct.error.
bool packHeaders(std::int32_t width, std::int32_t height, const HeaderRecordValues& record,
                 Headers& headers) {
    Ref stride = Ref::steal(PyLong_FromLongLong(rowStride(width)));
    if (!stride) {
        return false;
    }
    Ref rows = py::fromInt32(height);
    if (!rows) {
        return false;
    }
    Ref pixelArraySize = Ref::steal(PyNumber_Multiply(stride.get(), rows.get()));
    if (!pixelArraySize) {
        return false;
    }
    Ref headersSize = Ref::steal(PyLong_FromLongLong(kHeadersSize));
    if (!headersSize) {
        return false;
    }
    Ref fileSize = Ref::steal(PyNumber_Add(headersSize.get(), pixelArraySize.get()));
    if (!fileSize) {
        return false;
    }
    headers.file = py::structPack(kFileHeaderFormat, "(OiiL)", fileSize.get(), 0, 0,
                                  static_cast<long long>(kHeadersSize));
    if (!headers.file) {
        return false;
    }
    headers.info = py::structPack(kInfoHeaderFormat, "(LiilllOOOOO)",
                                  static_cast<long long>(kInfoHeaderSize), width, height,
                                  kPlanes, kBitsPerPixel, kNoCompression, pixelArraySize.get(),
                                  record[0].get(), record[1].get(), record[2].get(),
                                  record[3].get());
    return static_cast<bool>(headers.info);
}

// Rows are written in batches of about this many bytes: few write calls, and
// never an output buffer of the image's size.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;

// The image rows bottom-up, each converted to BGR and padded with zeros to
// `stride` bytes, several rows per write.
bool writeRows(PyObject* file, std::span<const std::uint8_t> rgb, std::size_t width,
               std::size_t height, std::size_t stride) {
    if (stride == 0) {
        return true;
    }
    const std::size_t rowsPerBatch = std::max<std::size_t>(1, kBatchBytes / stride);
    for (std::size_t end = height; end > 0;) {
        const std::size_t rows = std::min(rowsPerBatch, end);
        Ref batch =
            Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * stride)));
        if (!batch) {
            return false;
        }
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(batch.get()));
        for (std::size_t i = 0; i < rows; ++i, out += stride) {
            const std::size_t y = end - 1 - i;
            kernels::swapRedBlue(rgb.data() + y * width * 3, width, out);
            std::fill(out + width * 3, out + stride, std::uint8_t{0});
        }
        if (!output_file::write(file, batch.get())) {
            return false;
        }
        end -= rows;
    }
    return true;
}

PyObject* writeBmp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<5> bound;
    std::int32_t width = 0;
    std::int32_t height = 0;
    HeaderRecordValues record;
    if (!py::bind(kWriteBmp, args, nargs, kwnames, bound) ||
        !py::toDimensions(bound[kWidth], bound[kHeight], width, height) ||
        !readHeaderRecord(py::orNone(bound[kMeta]), record)) {
        return nullptr;
    }
    Ref buffer = py::asByteArray(bound[kPixels]);
    if (!buffer) {
        return nullptr;
    }
    Headers headers;
    if (!packHeaders(width, height, record, headers)) {
        return nullptr;
    }
    // The view is held until the file is closed, so the buffer keeps its size.
    py::ByteView view;
    if (!view.acquireWritable(buffer.get())) {
        return nullptr;
    }
    // Both headers packed, so width and height are not negative and the pixel
    // array is below 4 GiB.
    const auto columns = static_cast<std::size_t>(width);
    const auto rows = static_cast<std::size_t>(height);
    if (columns != 0 && rows != 0 && view.bytes().size() < columns * rows * 3) {
        PyErr_SetString(PyExc_IndexError, kPixelIndexOutOfRange);
        return nullptr;
    }
    Ref signature = Ref::steal(PyBytes_FromString("BM"));
    if (!signature) {
        return nullptr;
    }
    const std::array<Ref, 3> headerPieces = {signature, headers.file, headers.info};
    const auto stride = static_cast<std::size_t>(rowStride(width));
    const std::optional<std::uint64_t> size = output_file::totalSize(headerPieces, stride * rows);
    if (!output_file::create(bound[kPath], size, [&](PyObject* file) {
            return output_file::writeAll(file, headerPieces) &&
                   writeRows(file, view.bytes(), columns, rows, stride);
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef writeBmpMethod() { return py::methodRow<kWriteBmp, writeBmp>(); }

}  // namespace bmp
