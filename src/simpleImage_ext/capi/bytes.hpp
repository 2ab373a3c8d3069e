// Byte strings and byte buffers as the decoders meet them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "capi/ref.hpp"

namespace py {

// `value == literal` for a byte-string literal: 1, 0, or -1 with an error set.
// Exact bytes are compared directly; anything else through its own __eq__.
int equalsBytes(PyObject* value, std::string_view literal);

// `value[:count] == literal`, with the interpreter's slicing and comparison.
int prefixEquals(PyObject* value, Py_ssize_t count, std::string_view literal);

// The interpreter's message for a byte buffer of negative size.
inline constexpr const char* kNegativeCount = "negative count";

// The errors with which `bytearray(size)` refuses a size (ValueError "negative
// count" below zero, OverflowError beyond an index); true when it takes it.
// `size` is empty when the exact product did not fit in 64 bits.
bool acceptsByteArraySize(std::optional<std::int64_t> size);

// `bytearray(size)` with its errors (as above, and MemoryError), but not
// zero-filled: for buffers that the caller overwrites completely, so that pages
// no data reaches are never touched. Large ones get huge pages where the system
// offers them (see adviseHugePages).
Ref newByteArray(std::optional<std::int64_t> size);

// `buffer` itself when it is a bytearray (a subclass included), else
// bytearray(buffer), a copy: how the writers take the pixels they are given.
Ref asByteArray(PyObject* buffer);

// Asks the system to back a large buffer that is about to be written whole with
// huge pages where it can: a fraction of the page faults, which otherwise cost
// a fifth of decoding a large image.
void adviseHugePages(std::span<std::uint8_t> buffer) noexcept;

// Shortens `bytearray` to `size` bytes. Where the bytearray keeps its larger
// allocation, the whole pages past the new end go back to the system, so that
// a plane cut out of a larger buffer does not hold memory it no longer uses.
bool shrinkByteArray(PyObject* bytearray, std::size_t size);

inline std::span<std::uint8_t> byteArraySpan(PyObject* bytearray) {
    return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray)),
            static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray))};
}

// A new bytes object holding a copy of `content`.
inline Ref bytesFrom(std::span<const std::uint8_t> content) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(content.data()),
                                                static_cast<Py_ssize_t>(content.size())));
}

// The content of an exact bytes object.
inline std::span<const std::uint8_t> bytesSpan(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace py
