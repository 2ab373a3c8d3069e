#include "png/encoder.hpp"

#include "glue/allocation.hpp"
#include "glue/arguments.hpp"
#include "glue/byte_view.hpp"
#include "glue/bytes.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/output_file.hpp"
#include "glue/struct_module.hpp"
#include "image/length_checks.hpp"
#include "image/sizes.hpp"
#include "png/scanline_encoder.hpp"

#include <algorithm>
#include <array>

namespace png {
namespace {

using py::Ref;

constexpr const char* kUnsupportedFilter = "Unsupported PNG filter: %d";

constexpr py::Signature<6> kWritePng{
    "_writePng", {"path", "width", "height", "pixels", "alpha", "filter_types"}, 4};

enum WritePngArgument { kPath, kWidth, kHeight, kPixels, kAlpha, kFilterTypes };

constexpr int kBitDepth = 8;
constexpr int kColourTypeRgb = 2;
constexpr int kColourTypeRgba = 6;

// The views normally have the lengths that the callers tested with len(); an
// object whose buffer disagrees with its len() is refused like a wrong length.
bool viewMatches(std::span<const std::uint8_t> view, std::optional<std::int64_t> expected,
                 const char* mismatch) {
    if (!sizes::matches(static_cast<std::int64_t>(view.size()), expected)) {
        PyErr_SetString(PyExc_ValueError, mismatch);
        return false;
    }
    return true;
}

bool acquirePlane(py::ByteView& view, PyObject* plane, std::optional<std::int64_t> expected,
                  const char* mismatch) {
    return view.acquireWritable(plane) && viewMatches(view.bytes(), expected, mismatch);
}

bool acquireFilters(py::ByteView& view, PyObject* filters, std::int32_t height) {
    if (!image::requireLength(filters, height, image::kFilterCountMismatch) ||
        !acquirePlane(view, filters, height, image::kFilterCountMismatch)) {
        return false;
    }
    if (const auto row = firstUnsupportedFilter(view.bytes())) {
        PyErr_Format(PyExc_ValueError, kUnsupportedFilter, view.bytes()[*row]);
        return false;
    }
    return true;
}

// _makeChunk(chunkType, data), looked up in the module at the call.
Ref makeChunk(const char* chunkType, PyObject* data) {
    Ref type = Ref::steal(PyBytes_FromString(chunkType));
    return type ? module_record::callGlobalFunction("_makeChunk", type.get(), data) : Ref{};
}

}  // namespace

Ref _write_png_bytes(std::int32_t width, std::int32_t height,
                     std::span<const std::uint8_t> pixels, PyObject* alpha, PyObject* filters) {
    const int bpp = alpha != Py_None ? 4 : 3;
    const std::int64_t rowLength = std::int64_t{width} * bpp;
    if (rowLength < 0) {
        PyErr_SetString(PyExc_ValueError, py::kNegativeCount);
        return {};
    }
    py::ByteView alphaView;
    if (alpha != Py_None && !acquirePlane(alphaView, alpha, sizes::planeSize(width, height, 1),
                                          image::kAlphaLengthMismatch)) {
        return {};
    }
    py::ByteView filterView;
    if (filters != Py_None && !acquireFilters(filterView, filters, height)) {
        return {};
    }
    if (!viewMatches(pixels, sizes::planeSize(width, height, 3), image::kPixelLengthMismatch)) {
        return {};
    }
    // A negative height encodes no rows.
    const std::int64_t rows = std::max<std::int64_t>(height, 0);
    const auto streamSize = sizes::multiply(sizes::add(rowLength, 1), rows);
    if (!streamSize || *streamSize > PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        return {};
    }
    Ref stream = Ref::steal(PyBytes_FromStringAndSize(nullptr, *streamSize));
    if (!stream) {
        return {};
    }
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(stream.get()));
    const bool encoded = py::allocating([&] {
        encodeScanlines(static_cast<std::size_t>(width), static_cast<std::size_t>(rows), bpp,
                        pixels, alphaView.bytes(), filterView.bytes(),
                        {out, static_cast<std::size_t>(*streamSize)});
    });
    if (!encoded) {
        return {};
    }
    return stream;
}

bool checkPlaneLengths(std::int32_t width, std::int32_t height, PyObject* pixels,
                       PyObject* alpha) {
    return image::requireLength(pixels, sizes::planeSize(width, height, 3),
                                image::kPixelLengthMismatch) &&
           (alpha == Py_None || image::requireLength(alpha, sizes::planeSize(width, height, 1),
                                                     image::kAlphaLengthMismatch));
}

Ref compressedImageData(std::int32_t width, std::int32_t height, PyObject* pixels,
                        PyObject* alpha, PyObject* filters) {
    Ref buffer = PyByteArray_Check(pixels) ? Ref::borrow(pixels)
                                           : Ref::steal(PyByteArray_FromObject(pixels));
    // Held while the rows are encoded, so the buffer cannot be resized meanwhile.
    py::ByteView pixelView;
    if (!buffer || !pixelView.acquireWritable(buffer.get())) {
        return {};
    }
    Ref stream = _write_png_bytes(width, height, pixelView.bytes(), alpha, filters);
    return stream ? module_record::callGlobal("zlib", "compress", stream.get()) : Ref{};
}

PyObject* _writePng(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<6> bound;
    if (!py::bind(kWritePng, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* alpha = py::orNone(bound[kAlpha]);
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (!py::toInt32(bound[kWidth], width) || !py::toInt32(bound[kHeight], height) ||
        !checkPlaneLengths(width, height, bound[kPixels], alpha)) {
        return nullptr;
    }
    const int colourType = alpha != Py_None ? kColourTypeRgba : kColourTypeRgb;
    Ref header = py::structPack(Ref::steal(Py_BuildValue(
        "(siiiiiii)", ">IIBBBBB", width, height, kBitDepth, colourType, 0, 0, 0)));
    Ref compressed = header ? compressedImageData(width, height, bound[kPixels], alpha,
                                                  py::orNone(bound[kFilterTypes]))
                            : Ref{};
    Ref empty = compressed ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)) : Ref{};
    if (!empty) {
        return nullptr;
    }
    // Every piece is ready before the destination is opened, so nothing that can
    // still fail before the writes would leave a truncated file behind.
    Ref signature = module_record::global("PNG_SIGNATURE");
    Ref ihdr = signature ? makeChunk("IHDR", header.get()) : Ref{};
    Ref idat = ihdr ? makeChunk("IDAT", compressed.get()) : Ref{};
    Ref iend = idat ? makeChunk("IEND", empty.get()) : Ref{};
    if (!iend) {
        return nullptr;
    }
    const std::array<Ref, 4> pieces = {signature, ihdr, idat, iend};
    if (!output_file::create(bound[kPath], [&](PyObject* file) {
            return output_file::writeAll(file, pieces);
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace png
