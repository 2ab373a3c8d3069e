// Byte strings and byte buffers as the decoders meet them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "glue/ref.hpp"

namespace py {

// `value == literal` for a byte-string literal: 1, 0, or -1 with an error set.
// Exact bytes are compared directly; anything else through its own __eq__.
int equalsBytes(PyObject* value, std::string_view literal);

// `value[:count] == literal`, with the interpreter's slicing and comparison.
int prefixEquals(PyObject* value, Py_ssize_t count, std::string_view literal);

// `a, b, ... = struct.unpack(format, data)` through the module's `struct` as
// currently bound, into exactly `count` values.
bool unpackStruct(const char* format, PyObject* data, Ref* values, Py_ssize_t count);

// `bytearray(size)` with its errors (ValueError "negative count" below zero,
// OverflowError beyond an index, MemoryError), but not zero-filled: for buffers
// that the caller overwrites completely, so that pages no data reaches are
// never touched. `size` is empty when the exact product did not fit in 64 bits.
Ref newByteArray(std::optional<std::int64_t> size);

inline std::span<std::uint8_t> byteArraySpan(PyObject* bytearray) {
    return {reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray)),
            static_cast<std::size_t>(PyByteArray_GET_SIZE(bytearray))};
}

// A read-only view of any object with the buffer protocol, released on scope exit.
class BufferView {
public:
    // False with the interpreter's TypeError when `object` has no buffer.
    bool acquire(PyObject* object) {
        acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return acquired_;
    }
    ~BufferView() {
        if (acquired_) {
            PyBuffer_Release(&view_);
        }
    }
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

}  // namespace py
