// Calls on the binary streams that the decoders read: any object with `read`
// (and, for BMP, `seek`), looked up by name at every call as Python code would.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "capi/bytes.hpp"
#include "capi/ref.hpp"

namespace py {

// stream.read(size)
Ref read(PyObject* stream, PyObject* size);
Ref read(PyObject* stream, std::int64_t size);

// stream.seek(position); the result is dropped.
bool seek(PyObject* stream, PyObject* position);

// Captures the interpreter's io.BytesIO, io.BufferedReader and io.FileIO, whose
// instances can be read without running Python code; false with an exception.
bool captureStreamTypes();

// Whether `stream` is exactly an io.BytesIO that reads as its type defines: no
// attribute set on the instance stands in front of the type's `read`, `seek`,
// `tell` or `getvalue`. Reading its buffer in place, with the type's own
// methods, then gives what its `read` would.
bool isExactBytesIO(PyObject* stream);

// Whether `stream` is exactly an io.BufferedReader over exactly an io.FileIO,
// as the built-in `open(path, "rb")` makes it, with no attribute set on either
// instance in front of a method that reading or measuring the file calls: its
// reads then give the bytes of the file, whose size can be asked without
// running Python code.
bool isExactFile(PyObject* stream);

// The content of a stream that a decoder reads in place instead of through
// stream.read: an exact io.BytesIO that reads as its type defines
// (isExactBytesIO), taken with the type's own `getvalue` and `tell`.
struct HeldContent {
    Ref buffer;             // exact bytes, which views into the content keep alive
    std::size_t position;   // where the stream stands; may lie past the end

    std::span<const std::uint8_t> bytes() const noexcept { return bytesSpan(buffer.get()); }
};

// The content of `stream` when it can be read in place; nothing, with no error
// set, when it must be read through stream.read.
std::optional<HeldContent> holdContent(PyObject* stream);

// After a held stream was read in place up to `position`: moves it there with
// its type's own seek, as the reads would have left it. `read` says whether
// the reading succeeded; if not, its exception is the one that stays raised.
bool leaveAt(PyObject* stream, std::size_t position, bool read);

// How many bytes `stream` holds from its start, when that can be learnt without
// running Python code: a held io.BytesIO, or the regular file behind an exact
// file from the built-in `open` (isExactFile). Nothing for any other
// stream, and nothing (with no error set) when the question itself fails.
std::optional<std::int64_t> knownLength(PyObject* stream);

}  // namespace py
