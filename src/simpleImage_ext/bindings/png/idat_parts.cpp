#include "bindings/png/idat_parts.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "capi/bytes.hpp"

namespace png {

using py::Ref;

namespace {

// memcpy, which must not be given the null pointer of an empty span.
void copyInto(std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    if (!from.empty()) {
        std::memcpy(to, from.data(), from.size());
    }
}

Ref memoryViewOf(std::span<const std::uint8_t> part) {
    return Ref::steal(PyMemoryView_FromMemory(
        reinterpret_cast<char*>(const_cast<std::uint8_t*>(part.data())),
        static_cast<Py_ssize_t>(part.size()), PyBUF_READ));
}

}  // namespace

bool IdatParts::grow(std::size_t more) {
    if (runSize_ + more <= capacity_) {
        return true;
    }
    const std::size_t capacity =
        std::max({runSize_ + more, 2 * capacity_, std::size_t{1} << 16});
    auto* grown = static_cast<std::uint8_t*>(std::realloc(run_.get(), capacity));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    static_cast<void>(run_.release());
    run_.reset(grown);
    capacity_ = capacity;
    return true;
}

// Appends `part` to the run.
bool IdatParts::copy(std::span<const std::uint8_t> part) {
    if (!grow(part.size())) {
        return false;
    }
    copyInto(run_.get() + runSize_, part);
    runSize_ += part.size();
    return true;
}

bool IdatParts::appendView(std::span<const std::uint8_t> part) {
    if (odd_) {
        Ref object = py::bytesFrom(part);
        if (!object) {
            return false;
        }
        objects_.push_back(std::move(object));
        return true;
    }
    try {
        views_.push_back(part);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    size_ += part.size();
    return true;
}

bool IdatParts::append(PyObject* part) {
    if (!odd_ && PyBytes_CheckExact(part) && views_.empty()) {
        const std::span<const std::uint8_t> bytes = py::bytesSpan(part);
        sizes_.push_back(bytes.size());
        size_ += bytes.size();
        if (sizes_.size() == 1) {
            first_ = Ref::borrow(part);
            return true;
        }
        if (first_) {
            // From the second part on, the parts are copied into one run.
            if (!copy(py::bytesSpan(first_.get()))) {
                return false;
            }
            first_ = Ref{};
        }
        return copy(bytes);
    }
    if (!odd_ && !cutIntoObjects()) {
        return false;
    }
    odd_ = true;
    objects_.push_back(Ref::borrow(part));
    return true;
}

// The plain parts so far as bytes objects, one per part.
bool IdatParts::cutIntoObjects() {
    for (const std::span<const std::uint8_t> view : views_) {
        Ref object = py::bytesFrom(view);
        if (!object) {
            return false;
        }
        objects_.push_back(std::move(object));
    }
    if (first_) {
        objects_.push_back(first_);
    } else if (run_) {
        std::size_t offset = 0;
        for (const std::size_t partSize : sizes_) {
            Ref object = py::bytesFrom({run_.get() + offset, partSize});
            if (!object) {
                return false;
            }
            objects_.push_back(std::move(object));
            offset += partSize;
        }
    }
    views_.clear();
    first_ = Ref{};
    run_.reset();
    capacity_ = runSize_ = 0;
    return true;
}

bool IdatParts::run(std::span<const std::uint8_t>& bytes) {
    if (views_.size() > 1) {
        for (const std::span<const std::uint8_t> view : views_) {
            if (!copy(view)) {
                return false;
            }
        }
        views_.clear();
    }
    if (views_.size() == 1) {
        bytes = views_.front();
    } else if (first_) {
        bytes = py::bytesSpan(first_.get());
    } else if (run_) {
        bytes = {run_.get(), runSize_};
    } else {
        bytes = {};
    }
    return true;
}

bool IdatParts::feed(std::vector<Ref>& pieces) {
    std::vector<std::span<const std::uint8_t>> runs = views_;
    if (views_.empty()) {
        std::span<const std::uint8_t> whole;
        if (!run(whole)) {
            return false;
        }
        runs.push_back(whole);
    }
    for (const std::span<const std::uint8_t> part : runs) {
        Ref view = memoryViewOf(part);
        if (!view) {
            return false;
        }
        pieces.push_back(std::move(view));
    }
    return true;
}

Ref IdatParts::joined() {
    if (!odd_ && views_.empty() && first_) {
        return first_;  // what b"".join makes of one bytes object
    }
    if (!odd_) {
        std::span<const std::uint8_t> whole;
        if (!run(whole)) {
            return {};
        }
        return py::bytesFrom(whole);
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

bool IdatParts::join() {
    if (!odd_) {
        return true;
    }
    Ref whole = joined();
    if (!whole) {
        return false;
    }
    *this = IdatParts{};
    return append(whole.get());  // exact bytes, as b"".join makes them
}

void IdatParts::release() noexcept {
    views_.clear();
    first_ = Ref{};
    run_.reset();
    capacity_ = runSize_ = 0;
    objects_.clear();
}

}  // namespace png
