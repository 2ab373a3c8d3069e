#include "capi/bytes.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace py {
namespace {

constexpr const char* kBeyondIndex = "cannot fit 'int' into an index-sized integer";

}  // namespace

int equalsBytes(PyObject* value, std::string_view literal) {
    if (PyBytes_CheckExact(value)) {
        return static_cast<std::size_t>(PyBytes_GET_SIZE(value)) == literal.size() &&
               std::memcmp(PyBytes_AS_STRING(value), literal.data(), literal.size()) == 0;
    }
    Ref expected = Ref::steal(PyBytes_FromStringAndSize(
        literal.data(), static_cast<Py_ssize_t>(literal.size())));
    if (!expected) {
        return -1;
    }
    return PyObject_RichCompareBool(value, expected.get(), Py_EQ);
}

int prefixEquals(PyObject* value, Py_ssize_t count, std::string_view literal) {
    Ref prefix = Ref::steal(PySequence_GetSlice(value, 0, count));
    if (!prefix) {
        return -1;
    }
    return equalsBytes(prefix.get(), literal);
}

Ref asByteArray(PyObject* buffer) {
    if (PyByteArray_Check(buffer)) {
        return Ref::borrow(buffer);
    }
    return Ref::steal(PyByteArray_FromObject(buffer));
}

namespace {

// Buffers from this size on are worth the advice below.
constexpr std::size_t kHugePageWorthy = std::size_t{4} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

}  // namespace

void adviseHugePages(std::span<std::uint8_t> buffer) noexcept {
#if defined(MADV_HUGEPAGE)
    if (buffer.size() < kHugePageWorthy) {
        return;
    }
    // Only the whole huge pages inside the buffer: they belong to it alone.
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t from = (begin + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t to = (begin + buffer.size()) / kHugePage * kHugePage;
    if (to > from) {
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
#else
    static_cast<void>(buffer);
#endif
}

bool shrinkByteArray(PyObject* bytearray, std::size_t size) {
    if (PyByteArray_Resize(bytearray, static_cast<Py_ssize_t>(size)) < 0) {
        return false;
    }
    // A small cut leaves the allocation as it was; its bytes past the new end
    // (and the null byte that follows it) belong to no one else, so whole pages
    // among them can go back to the system, to be zeroed if ever used again.
    const auto* array = reinterpret_cast<const PyByteArrayObject*>(bytearray);
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto used = reinterpret_cast<std::uintptr_t>(PyByteArray_AS_STRING(bytearray)) + size + 1;
    const auto allocationEnd =
        reinterpret_cast<std::uintptr_t>(array->ob_bytes) + static_cast<std::uintptr_t>(array->ob_alloc);
    const std::uintptr_t from = (used + page - 1) / page * page;
    const std::uintptr_t to = allocationEnd / page * page;
    if (to > from) {
        madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    }
    return true;
}

bool acceptsByteArraySize(std::optional<std::int64_t> size) {
    if (!size || *size > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, kBeyondIndex);
        return false;
    }
    if (*size < 0) {
        PyErr_SetString(PyExc_ValueError, kNegativeCount);
        return false;
    }
    return true;
}

Ref newByteArray(std::optional<std::int64_t> size) {
    if (!acceptsByteArraySize(size)) {
        return {};
    }
    // Grown from empty as bytearray(n) grows it, which fails cleanly with
    // MemoryError; creating it at full size leaves a half-built object behind
    // when the allocation fails. Unlike bytearray(n), the bytes are not zeroed.
    Ref array = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!array || PyByteArray_Resize(array.get(), static_cast<Py_ssize_t>(*size)) < 0) {
        return {};
    }
    adviseHugePages(byteArraySpan(array.get()));
    return array;
}

}  // namespace py
