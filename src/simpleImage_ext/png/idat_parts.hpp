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

#include "glue/ref.hpp"

namespace png {

// While every part is exact bytes, the parts are kept as one run of bytes, so
// that the data can be inflated in one call: the first part as it came, later
// ones copied into a growing buffer (which the allocator grows in place), each
// part released once copied. A part of any other type (from a rebound
// `_readChunk` or a stream that reads other objects) turns the collection into
// a list of objects, cut again at the parts' boundaries, for the routes that
// hand the parts to Python code as they are.
class IdatParts {
public:
    // Takes one part; false with MemoryError set.
    bool append(PyObject* part);
    // Takes one part lying in a buffer that outlives this collection.
    bool appendView(std::span<const std::uint8_t> part);

    bool plain() const noexcept { return objects_.empty() && !odd_; }
    std::size_t size() const noexcept { return size_; }

    // The run of all parts; only while plain().
    std::span<const std::uint8_t> bytes() const noexcept;

    // The parts as objects, one per IDAT chunk; false with an exception set.
    bool objects(std::vector<py::Ref>& parts);

    // b"".join(parts), with the interpreter's error for a part that is not bytes-like.
    py::Ref joined();

    // Drops the data, once it has been inflated.
    void release() noexcept;

private:
    struct Free {
        void operator()(std::uint8_t* buffer) const noexcept { std::free(buffer); }
    };

    bool growRun(std::size_t more);
    bool cutIntoObjects();

    py::Ref first_;                            // the first part, while it is the only one
    std::span<const std::uint8_t> firstView_;  // its bytes, or those of a viewed part
    std::unique_ptr<std::uint8_t, Free> run_;  // two parts or more, copied one after another
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::vector<std::size_t> sizes_;  // the plain parts' sizes, to cut the run again
    std::vector<py::Ref> objects_;    // every part, once one is not plain bytes
    bool odd_ = false;
};

}  // namespace png
