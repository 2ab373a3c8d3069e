#include "png/idat_parts.hpp"

#include <algorithm>
#include <cstring>

namespace png {

using py::Ref;

namespace {

// memcpy, which must not be given the null pointer of an empty span.
void copyInto(std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    if (!from.empty()) {
        std::memcpy(to, from.data(), from.size());
    }
}

}  // namespace

std::span<const std::uint8_t> IdatParts::bytes() const noexcept {
    if (run_) {
        return {run_.get(), size_};
    }
    return firstView_;
}

bool IdatParts::growRun(std::size_t more) {
    if (size_ + more <= capacity_) {
        return true;
    }
    const std::size_t capacity = std::max({size_ + more, 2 * capacity_, std::size_t{1} << 16});
    auto* grown = static_cast<std::uint8_t*>(std::realloc(run_.get(), capacity));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    run_.release();
    run_.reset(grown);
    capacity_ = capacity;
    return true;
}

bool IdatParts::appendView(std::span<const std::uint8_t> part) {
    if (!plain()) {
        Ref object = Ref::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(part.data()), static_cast<Py_ssize_t>(part.size())));
        if (!object) {
            return false;
        }
        objects_.push_back(std::move(object));
        return true;
    }
    sizes_.push_back(part.size());
    if (sizes_.size() == 1) {
        firstView_ = part;
        size_ = part.size();
        return true;
    }
    if (!run_) {
        // From the second part on, the parts are copied into one run.
        const std::span<const std::uint8_t> firstPart = firstView_;
        if (!growRun(part.size())) {
            return false;
        }
        copyInto(run_.get(), firstPart);
        first_ = Ref{};
        firstView_ = {};
    } else if (!growRun(part.size())) {
        return false;
    }
    copyInto(run_.get() + size_, part);
    size_ += part.size();
    return true;
}

bool IdatParts::append(PyObject* part) {
    if (plain() && PyBytes_CheckExact(part)) {
        const bool first = sizes_.empty();
        if (!appendView({reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(part)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(part))})) {
            return false;
        }
        if (first) {
            first_ = Ref::borrow(part);  // keeps the viewed bytes alive
        }
        return true;
    }
    if (plain() && !cutIntoObjects()) {
        return false;
    }
    odd_ = true;
    objects_.push_back(Ref::borrow(part));
    return true;
}

// The plain parts so far as bytes objects, one per part.
bool IdatParts::cutIntoObjects() {
    const std::span<const std::uint8_t> all = bytes();
    std::size_t offset = 0;
    for (const std::size_t partSize : sizes_) {
        if (sizes_.size() == 1 && first_) {
            objects_.push_back(first_);
        } else {
            Ref object = Ref::steal(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(all.data() + offset),
                static_cast<Py_ssize_t>(partSize)));
            if (!object) {
                return false;
            }
            objects_.push_back(std::move(object));
        }
        offset += partSize;
    }
    first_ = Ref{};
    firstView_ = {};
    run_.reset();
    capacity_ = 0;
    return true;
}

bool IdatParts::objects(std::vector<Ref>& parts) {
    if (plain() && !cutIntoObjects()) {
        return false;
    }
    odd_ = true;
    parts = objects_;
    return true;
}

Ref IdatParts::joined() {
    if (plain() && sizes_.size() == 1 && first_) {
        return first_;  // what b"".join makes of one bytes object
    }
    if (plain()) {
        const std::span<const std::uint8_t> all = bytes();
        return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(all.data()),
                                                    static_cast<Py_ssize_t>(all.size())));
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return {};
    }
    for (const Ref& part : objects_) {
        if (PyList_Append(list.get(), part.get()) < 0) {
            return {};
        }
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) {
        return {};
    }
    return Ref::steal(PyObject_CallMethod(empty.get(), "join", "O", list.get()));
}

void IdatParts::release() noexcept {
    first_ = Ref{};
    firstView_ = {};
    run_.reset();
    capacity_ = 0;
    objects_.clear();
}

}  // namespace png
