// Calls on the binary streams that the decoders read: any object with `read`
// (and, for BMP, `seek`), looked up by name at every call as Python code would.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "glue/ref.hpp"

namespace py {

// stream.read(size)
Ref read(PyObject* stream, PyObject* size);
Ref read(PyObject* stream, std::int64_t size);

// stream.seek(position); the result is dropped.
bool seek(PyObject* stream, PyObject* position);

// BytesIO(data), with the module's `BytesIO` as bound now.
Ref bytesStream(PyObject* data);

// The content of a stream that a decoder reads in place instead of through
// stream.read: an exact io.BytesIO that reads as its type defines
// (originals::isPlainBytesIO), taken with the type's own `getvalue` and `tell`.
struct HeldContent {
    Ref buffer;             // exact bytes, which views into the content keep alive
    std::size_t position;   // where the stream stands; may lie past the end

    std::span<const std::uint8_t> bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(buffer.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(buffer.get()))};
    }
};

// The content of `stream` when it can be read in place; nothing, with no error
// set, when it must be read through stream.read.
std::optional<HeldContent> holdContent(PyObject* stream);

// After a held stream was read in place up to `position`: moves it there with
// its type's own seek, as the reads would have left it. `read` says whether
// the reading succeeded; if not, its exception is the one that stays raised.
bool leaveAt(PyObject* stream, std::size_t position, bool read);

// How many bytes `stream` holds from its start, when that can be learnt without
// running Python code: a held io.BytesIO, or the regular file behind a plain
// file from the built-in `open` (originals::isPlainFile). Nothing for any other
// stream, and nothing (with no error set) when the question itself fails.
std::optional<std::int64_t> knownLength(PyObject* stream);

}  // namespace py
