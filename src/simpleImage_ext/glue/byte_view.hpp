// A one-dimensional view of unsigned bytes over an object's buffer.
//
// The writers read the pixel buffer, the alpha plane and the filter list through
// such views. The view asks for a writable buffer, so read-only objects such as
// bytes are refused with the exporter's BufferError, and holding it keeps a
// bytearray from being resized while the native code reads it.
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

    // Takes the view; false with the interpreter's error set (BufferError for a
    // read-only object, TypeError without the buffer protocol, ValueError for
    // other dimensions or item types).
    bool acquire(PyObject* object);

    std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

private:
    void release() noexcept;

    Py_buffer view_{};
    bool held_ = false;
    std::vector<std::uint8_t> gathered_;  // the bytes of a strided buffer, made contiguous
    std::span<const std::uint8_t> bytes_;
};

}  // namespace py
