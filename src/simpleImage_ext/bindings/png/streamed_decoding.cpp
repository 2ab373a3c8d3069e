#include "bindings/png/streamed_decoding.hpp"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "bindings/png/refusal.hpp"
#include "capi/byte_view.hpp"
#include "capi/bytes.hpp"
#include "capi/names.hpp"
#include "kernels/filters.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/sizes.hpp"
#include "module/own_names.hpp"
#include "png/format.hpp"

namespace png {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

// What zlib.decompress says about a stream that stops before its end.
constexpr const char* kTruncatedStream =
    "Error -5 while decompressing data: incomplete or truncated stream";

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
        if (!canCreatePlanes(geometry_)) {
            return false;
        }
        if (unsupported_) {
            return raiseUnsupportedFilter(*unsupported_);
        }
        if (!createPlanes() || !resizePlanes(rowCount_)) {
            return false;
        }
        planes.pixels = pixels_;
        planes.alpha = geometry_.channels == 4 ? alpha_ : Ref::none();
        planes.filters = filters_;
        return true;
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
        // After an unsupported type the decoding fails: its rows need no planes.
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
        py::byteArraySpan(filters_.get())[y] = filterType;
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
        filters_ = py::newByteArray(0);
        if (!filters_) {
            return false;
        }
        if (geometry_.channels == 4) {
            alpha_ = py::newByteArray(0);
            if (!alpha_) {
                return false;
            }
        }
        pixels_ = py::newByteArray(0);
        return static_cast<bool>(pixels_);
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
        return resizePlanes(sizes::grownRowCapacity(rows, capacityRows_, stride_, rowCount_));
    }

    bool resizePlanes(std::size_t rows) {
        const auto resize = [](PyObject* plane, std::size_t bytes) {
            return PyByteArray_Resize(plane, static_cast<Py_ssize_t>(bytes)) == 0;
        };
        if (!resize(pixels_.get(), rows * width_ * 3) ||
            (geometry_.channels == 4 && !resize(alpha_.get(), rows * width_)) ||
            !resize(filters_.get(), rows)) {
            return false;
        }
        capacityRows_ = rows;
        return true;
    }


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
    Ref filters_;
    std::vector<std::uint8_t> pending_;  // a record cut by the end of a piece
    std::vector<std::uint8_t> scratch_;  // the current and the previous RGBA row
};

// --- inflating -----------------------------------------------------------

// zlib.decompress reports a stream without its end as zlib.error.
void raiseTruncatedStream() { PyErr_SetString(own_names::zlibError(), kTruncatedStream); }

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

// One decompressor of the interpreter's zlib, inflating as zlib.decompress would
// inflate the concatenation of the IDAT parts. Only the first `limit` bytes go
// to the rows: reaching it proves the data longer than the header allows, but
// the verdict is still zlib's, so the rest of the stream is inflated and
// dropped, piece by piece, until it ends (then the data is too long) or fails.
class Inflater {
public:
    Inflater(RowBuilder& rows, std::int64_t limit) : rows_(rows), limit_(limit) {}

    bool start() {
        decompressor_ = Ref::steal(PyObject_CallNoArgs(own_names::zlibDecompressobj()));
        return static_cast<bool>(decompressor_);
    }

    // Feeds one run of IDAT data, a memory view, in slices; `ended` turns true
    // at the end of the zlib stream, after which whatever follows is ignored.
    bool feed(PyObject* view, bool& ended) {
        const Py_ssize_t size = PyObject_Length(view);
        if (size < 0) {
            return false;
        }
        for (Py_ssize_t start = 0; start < size; start += kSliceSize) {
            if (!checkEnded(ended)) {
                return false;
            }
            if (ended) {
                return true;
            }
            Ref slice = Ref::steal(PySequence_GetSlice(view, start, start + kSliceSize));
            if (!slice || !inflate(slice.get())) {
                return false;
            }
        }
        return true;
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

    // What the next piece may hold: up to the limit, the rows' share; past it
    // anything, as it is dropped.
    Py_ssize_t budget() const noexcept {
        if (beyondLimit_) {
            return kPieceSize;
        }
        return static_cast<Py_ssize_t>(
            std::min<std::int64_t>(kPieceSize, limit_ - rows_.received()));
    }

    // Hands a piece to the rows while the limit is not reached.
    bool take(std::span<const std::uint8_t> piece) {
        if (beyondLimit_) {
            return true;
        }
        if (!rows_.receive(piece)) {
            return false;
        }
        beyondLimit_ = rows_.received() >= limit_;
        return true;
    }

    // decompress(input, piece) until the input is used up and nothing is left
    // pending; a full piece may leave input unconsumed or output pending.
    bool inflate(PyObject* input) {
        Ref data = Ref::borrow(input);
        for (;;) {
            const Py_ssize_t budget = this->budget();
            Ref size = Ref::steal(PyLong_FromSsize_t(budget));
            if (!size) {
                return false;
            }
            PyObject* arguments[] = {decompressor_.get(), data.get(), size.get()};
            Ref piece = Ref::steal(PyObject_VectorcallMethod(
                py::name("decompress"), arguments, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            py::ByteView view;
            if (!piece || !view.acquireReadable(piece.get()) || !take(view.bytes())) {
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
    bool beyondLimit_ = false;
    Ref decompressor_;
};

}  // namespace

bool decodeStreamed(IdatParts& parts, const Geometry& geometry, Planes& planes) {
    const auto expected = geometry.streamSize();
    // One byte beyond the expected length proves the data too long. A length
    // beyond any buffer never matches.
    const std::int64_t limit = expected && *expected < PY_SSIZE_T_MAX
                                   ? std::max<std::int64_t>(*expected, 0) + 1
                                   : PY_SSIZE_T_MAX;
    RowBuilder rows(geometry, expected, canInflateTo(parts.size(), expected));
    Inflater inflater(rows, limit);
    std::vector<Ref> feed;
    if (!parts.feed(feed) || !inflater.start()) {
        return false;
    }
    bool ended = false;
    for (Ref& part : feed) {
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

}  // namespace png
