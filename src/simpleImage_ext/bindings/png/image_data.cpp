#include "bindings/png/image_data.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bindings/png/refusal.hpp"
#include "bindings/png/streamed_decoding.hpp"
#include "capi/allocation.hpp"
#include "capi/byte_view.hpp"
#include "capi/bytes.hpp"
#include "kernels/inflate.hpp"
#include "kernels/scanline_decoder.hpp"
#include "kernels/sizes.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

// CORVANE_INFLATER=zlib, read once, sends all image data through the
// interpreter's zlib: to compare the two routes, or to rule the inflater out.
bool inflaterSwitchedOff() {
    static const bool off = [] {
        const char* choice = std::getenv("CORVANE_INFLATER");
        return choice != nullptr && std::string_view(choice) == "zlib";
    }();
    return off;
}

kernels::ScanlineLayout layoutOf(const Geometry& geometry) {
    return {static_cast<std::size_t>(geometry.width), static_cast<std::size_t>(geometry.height),
            geometry.channels};
}

// The alpha plane (None for RGB) and the filter list of a decoded image, and
// the scratch rows that rebuilding RGBA rows needs.
struct SidePlanes {
    Ref alpha = Ref::none();
    Ref filters;
    std::vector<std::uint8_t> scratch;
};

// Allocates what `side` does not hold yet.
bool allocateSidePlanes(const kernels::ScanlineLayout& layout, SidePlanes& side) {
    if (!side.filters) {
        side.filters = py::newByteArray(static_cast<std::int64_t>(layout.height));
        if (!side.filters) {
            return false;
        }
    }
    if (layout.channels == 3) {
        return true;
    }
    side.alpha = py::newByteArray(static_cast<std::int64_t>(layout.width * layout.height));
    if (!side.alpha) {
        return false;
    }
    // No scratch for an image without rows, whose width alone may be two billion.
    const std::size_t scratch = layout.height > 0 ? 2 * layout.stride() : 0;
    return py::allocating([&] { side.scratch.resize(scratch); });
}

std::span<std::uint8_t> bytesOf(const Ref& plane) {
    return plane.get() == Py_None ? std::span<std::uint8_t>{} : py::byteArraySpan(plane.get());
}

// Rebuilds the rows of `stream` into `pixels`, which may be `stream` itself.
bool rebuildRows(const kernels::ScanlineLayout& layout, std::span<const std::uint8_t> stream,
                 std::span<std::uint8_t> pixels, SidePlanes& side, bool withoutLock) {
    std::optional<std::size_t> unsupported;
    const auto rebuild = [&] {
        unsupported = kernels::decodeScanlines(layout, stream, pixels, bytesOf(side.alpha),
                                               bytesOf(side.filters), side.scratch);
    };
    if (withoutLock) {
        Py_BEGIN_ALLOW_THREADS
        rebuild();
        Py_END_ALLOW_THREADS
    } else {
        rebuild();
    }
    if (unsupported) {
        return raiseUnsupportedFilter(bytesOf(side.filters)[*unsupported]);
    }
    return true;
}

// --- the whole route ---------------------------------------------------------

enum class Outcome { decoded, failed, unclean };

// Inflates the run of parts in one call, straight into the buffer that becomes
// the pixel plane, and rebuilds the rows there, top to bottom: each row moves
// down to its place in the plane, which is never ahead of the rows still to
// come. Peak memory: the compressed run, then the inflated stream, then that
// stream and the alpha plane. The buffers are new and seen by no Python code,
// so the interpreter's lock is released while they are worked on, as the
// interpreter's zlib releases it while it inflates.
Outcome decodeWhole(IdatParts& parts, const Geometry& geometry, std::int64_t streamSize,
                    Planes& planes) {
    Ref stream = py::newByteArray(streamSize);
    if (!stream) {
        PyErr_Clear();  // too large to allocate whole: the bounded route grows its planes
        return Outcome::unclean;
    }
    const std::span<std::uint8_t> out = py::byteArraySpan(stream.get());
    std::span<const std::uint8_t> in;
    if (!parts.run(in)) {
        PyErr_Clear();  // no memory to join the parts: the bounded route feeds them one by one
        return Outcome::unclean;
    }
    bool clean = false;
    Py_BEGIN_ALLOW_THREADS
    clean = kernels::inflateExactly(in, out);
    Py_END_ALLOW_THREADS
    if (!clean) {
        return Outcome::unclean;
    }
    parts.release();
    const kernels::ScanlineLayout layout = layoutOf(geometry);
    SidePlanes side;
    Ref pixels = stream;
    if (layout.width == 0) {
        // Rows of no pixels: the stream is the filter list, one byte per row.
        side.filters = stream;
        pixels = py::newByteArray(0);
        if (!pixels) {
            return Outcome::failed;
        }
    }
    if (!allocateSidePlanes(layout, side) || !rebuildRows(layout, out, out, side, true)) {
        return Outcome::failed;
    }
    if (pixels.get() == stream.get() &&
        !py::shrinkByteArray(pixels.get(), layout.width * layout.height * 3)) {
        return Outcome::failed;
    }
    planes = {std::move(pixels), std::move(side.alpha), std::move(side.filters)};
    return Outcome::decoded;
}

// Whether `compressed` bytes are a plausible deflate form of `expected` ones:
// not so few that they could not expand to them, nor so many that even stored
// blocks could not hold them (then the data surely goes wrong, and joining
// its parts for one call would only cost memory).
bool plausible(std::size_t compressed, std::int64_t expected) {
    constexpr std::int64_t kStoredOverhead = 1024;  // headers, checksum, block headers
    const auto most = static_cast<std::uint64_t>(expected + expected / 8 + kStoredOverhead);
    return canInflateTo(compressed, expected) && compressed <= most;
}

bool fitsWholeRoute(const IdatParts& parts, const Geometry& geometry,
                    std::optional<std::int64_t> streamSize) {
    return !inflaterSwitchedOff() && geometry.width >= 0 && geometry.height >= 0 && streamSize &&
           *streamSize <= PY_SSIZE_T_MAX && plausible(parts.size(), *streamSize);
}

// --- another zlib.decompress ---------------------------------------------------

// zlib.decompress(b"".join(parts)), once, then the length check, then the rows.
bool decodeThroughModule(IdatParts& parts, const Geometry& geometry, Planes& planes) {
    Ref joined = parts.joined();
    if (!joined) {
        return false;
    }
    parts.release();
    Ref raw = module_state::callGlobal("zlib", "decompress", joined.get());
    if (!raw) {
        return false;
    }
    joined = Ref{};
    const Py_ssize_t length = PyObject_Length(raw.get());
    if (length < 0) {
        return false;
    }
    if (!sizes::matches(length, geometry.streamSize())) {
        raiseMalformed();
        return false;
    }
    if (!canCreatePlanes(geometry)) {
        return false;
    }
    py::ByteView view;
    if (!view.acquireReadable(raw.get())) {
        return false;
    }
    const kernels::ScanlineLayout layout = layoutOf(geometry);
    Ref pixels = py::newByteArray(static_cast<std::int64_t>(layout.width * layout.height * 3));
    SidePlanes side;
    if (!pixels || !allocateSidePlanes(layout, side) ||
        !rebuildRows(layout, view.bytes(), py::byteArraySpan(pixels.get()), side, false)) {
        return false;
    }
    planes = {std::move(pixels), std::move(side.alpha), std::move(side.filters)};
    return true;
}

}  // namespace

bool decodeImageData(IdatParts& parts, const Geometry& geometry, Planes& planes) {
    // Joining parts of other types can run Python code; zlib.decompress is
    // looked up after it, as the join is its argument. From here on only this
    // module's code runs until the rows are rebuilt, so one look decides.
    if (!parts.join()) {
        return false;
    }
    const int own = own_names::isOwn(own_names::Name::zlibDecompress);
    if (own <= 0) {
        return own == 0 && decodeThroughModule(parts, geometry, planes);
    }
    const std::optional<std::int64_t> streamSize = geometry.streamSize();
    if (fitsWholeRoute(parts, geometry, streamSize)) {
        const Outcome outcome = decodeWhole(parts, geometry, *streamSize, planes);
        if (outcome != Outcome::unclean) {
            return outcome == Outcome::decoded;
        }
    }
    return decodeStreamed(parts, geometry, planes);
}

}  // namespace png
