// The compressed image data of a PNG: the data of its IDAT chunks, in file
// order, gathered while the chunks are read.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "capi/ref.hpp"

namespace png {

// Parts read in place from a buffer stay where they are, and are joined into
// one run of bytes only when the data is inflated in one call. Parts that come
// as exact bytes objects are copied into a growing run as they come (the
// allocator grows it in place), each released once copied, so that the data is
// never held twice; the first is only held, as it may be the only one. A part
// of any other type (from a rebound `_readChunk`, or a stream that reads other
// objects) turns the collection into a list of objects, one per part, which
// are joined with b"".join when the data is inflated, as the parts of any
// file are: a part that is not bytes-like then fails the join, wherever the
// zlib stream ends.
class IdatParts {
public:
    // Takes one part as the chunk loop found it; false with MemoryError set.
    bool append(PyObject* part);
    // Takes one part lying in a buffer that outlives this collection.
    bool appendView(std::span<const std::uint8_t> part);

    // The size of the plain parts.
    std::size_t size() const noexcept { return size_; }

    // The run of all parts, joined now if they lie apart; only once the parts
    // are plain (see join). False with MemoryError set.
    bool run(std::span<const std::uint8_t>& bytes);

    // The data as memory views to feed a decompressor in order: the parts read
    // in place, or the run; only once the parts are plain.
    bool feed(std::vector<py::Ref>& pieces);

    // b"".join(parts), with the interpreter's error for a part that is not bytes-like.
    py::Ref joined();

    // Makes the parts plain: parts of other types are replaced by b"".join(parts).
    bool join();

    // Drops the data, once it has been inflated.
    void release() noexcept;

private:
    struct Free {
        void operator()(std::uint8_t* buffer) const noexcept { std::free(buffer); }
    };

    bool grow(std::size_t more);
    bool copy(std::span<const std::uint8_t> part);
    bool cutIntoObjects();

    std::vector<std::span<const std::uint8_t>> views_;  // read in place; a run of their own once joined
    py::Ref first_;                                     // the first bytes object, while it is the only one
    std::unique_ptr<std::uint8_t, Free> run_;           // parts copied one after another
    std::size_t capacity_ = 0;
    std::size_t runSize_ = 0;
    std::size_t size_ = 0;  // of all parts
    std::vector<std::size_t> sizes_;  // the copied parts' sizes, to cut the run again
    std::vector<py::Ref> objects_;    // every part, once one is not plain bytes
    bool odd_ = false;
};

}  // namespace png
