#include "bindings/png/encoder.hpp"

#include <algorithm>
#include <array>

#include "bindings/output_file.hpp"
#include "bindings/png/image_data_compression.hpp"
#include "bindings/png/refusal.hpp"
#include "capi/allocation.hpp"
#include "capi/arguments.hpp"
#include "capi/byte_view.hpp"
#include "capi/bytes.hpp"
#include "capi/conversions.hpp"
#include "kernels/scanline_encoder.hpp"
#include "kernels/sizes.hpp"
#include "module/module_state.hpp"
#include "module/plane_lengths.hpp"
#include "module/struct_module.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

constexpr py::Declaration<6> kWritePng{
    "_writePng",
    py::Receiver::module,
    {"path", "width", "height", "pixels", "alpha", "filter_types"},
    4};

enum WritePngArgument { kPath, kWidth, kHeight, kPixels, kAlpha, kFilterTypes };

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
    if (!py::requireLength(filters, height, py::kFilterCountMismatch) ||
        !acquirePlane(view, filters, height, py::kFilterCountMismatch)) {
        return false;
    }
    if (const auto row = kernels::firstUnsupportedFilter(view.bytes())) {
        raiseUnsupportedFilter(view.bytes()[*row]);
        return false;
    }
    return true;
}

// _makeChunk(chunkType, data), looked up in the module at the call.
Ref makeChunk(const char* chunkType, PyObject* data) {
    Ref type = Ref::steal(PyBytes_FromString(chunkType));
    if (!type) {
        return {};
    }
    return module_state::callGlobalFunction("_makeChunk", type.get(), data);
}

}  // namespace

// Builds the filtered scanline stream in memory; despite the name, it writes no file.
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
                                          py::kAlphaLengthMismatch)) {
        return {};
    }
    py::ByteView filterView;
    if (filters != Py_None && !acquireFilters(filterView, filters, height)) {
        return {};
    }
    if (!viewMatches(pixels, sizes::planeSize(width, height, 3), py::kPixelLengthMismatch)) {
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
        kernels::encodeScanlines(static_cast<std::size_t>(width), static_cast<std::size_t>(rows), bpp,
                        pixels, alphaView.bytes(), filterView.bytes(),
                        {out, static_cast<std::size_t>(*streamSize)});
    });
    if (!encoded) {
        return {};
    }
    return stream;
}

Ref compressedImageData(std::int32_t width, std::int32_t height, PyObject* pixels,
                        PyObject* alpha, PyObject* filters) {
    Ref buffer = py::asByteArray(pixels);
    // Held while the rows are encoded, so the buffer cannot be resized meanwhile.
    py::ByteView pixelView;
    if (!buffer || !pixelView.acquireWritable(buffer.get())) {
        return {};
    }
    Ref stream = _write_png_bytes(width, height, pixelView.bytes(), alpha, filters);
    if (!stream) {
        return {};
    }
    return compressImageData(stream.get());
}

namespace {

// Every piece of the file, ready before the destination is opened, so that
// nothing that can still fail before the writes would leave a truncated file.
bool prepareFile(std::int32_t width, std::int32_t height, const py::Arguments<6>& bound,
                 std::array<Ref, 4>& pieces) {
    PyObject* alpha = py::orNone(bound[kAlpha]);
    const int colourType = alpha != Py_None ? kColourRgba : kColourRgb;
    Ref header = py::structPack(kHeaderFormat, "(iiiiiii)", width, height, kBitDepth, colourType,
                                0, 0, 0);
    if (!header) {
        return false;
    }
    Ref compressed = compressedImageData(width, height, bound[kPixels], alpha,
                                         py::orNone(bound[kFilterTypes]));
    if (!compressed) {
        return false;
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) {
        return false;
    }
    auto& [signature, ihdr, idat, iend] = pieces;
    signature = module_state::global("PNG_SIGNATURE");
    if (!signature) {
        return false;
    }
    ihdr = makeChunk("IHDR", header.get());
    if (!ihdr) {
        return false;
    }
    idat = makeChunk("IDAT", compressed.get());
    if (!idat) {
        return false;
    }
    iend = makeChunk("IEND", empty.get());
    return static_cast<bool>(iend);
}

PyObject* writePng(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<6> bound;
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (!py::bind(kWritePng, args, nargs, kwnames, bound) ||
        !py::toDimensions(bound[kWidth], bound[kHeight], width, height) ||
        !py::requirePlaneLengths(width, height, bound[kPixels], py::orNone(bound[kAlpha]))) {
        return nullptr;
    }
    std::array<Ref, 4> pieces;
    if (!prepareFile(width, height, bound, pieces)) {
        return nullptr;
    }
    if (!output_file::createWith(bound[kPath], pieces)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef writePngMethod() { return py::methodRow<kWritePng, writePng>(); }

}  // namespace png
