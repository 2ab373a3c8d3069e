// A one-dimensional view of unsigned bytes over an object's buffer, released
// when the view goes out of scope.
//
// The writers read the pixel buffer, the alpha plane and the filter list through
// writable views, so read-only objects such as bytes are refused with the
// exporter's BufferError; holding a view keeps a bytearray from being resized
// while native code reads it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

namespace py {

class ByteView {
public:
    ByteView() noexcept = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { release(); }

    // Takes a writable view; false with the interpreter's error set (BufferError
    // for a read-only object, TypeError without the buffer protocol, ValueError
    // for other dimensions or item types).
    bool acquireWritable(PyObject* object);

    // Takes a view of any contiguous buffer, read-only ones included; false with
    // the interpreter's TypeError for an object without the buffer protocol.
    bool acquireReadable(PyObject* object);

    std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

private:
    void release() noexcept;

    Py_buffer view_{};
    bool held_ = false;
    std::vector<std::uint8_t> gathered_;  // the bytes of a strided buffer, made contiguous
    std::span<const std::uint8_t> bytes_;
};

}  // namespace py
