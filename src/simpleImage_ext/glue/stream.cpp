#include "glue/stream.hpp"

#include <sys/stat.h>

#include <climits>
#include <utility>

#include "glue/module_state.hpp"
#include "glue/names.hpp"
#include "glue/originals.hpp"

namespace py {
namespace {

// object.name(argument), without making a bound method on the way.
Ref callMethod(PyObject* object, const char* name, PyObject* argument) {
    PyObject* key = py::name(name);
    if (key == nullptr) {
        return {};
    }
    return Ref::steal(PyObject_CallMethodOneArg(object, key, argument));
}

// type(object).name(object[, argument]): the method as the type defines it,
// whatever the instance holds.
Ref callOwnMethod(PyObject* object, const char* name, PyObject* argument = nullptr) {
    PyObject* key = py::name(name);
    if (key == nullptr) {
        return {};
    }
    Ref method = Ref::borrow(_PyType_Lookup(Py_TYPE(object), key));
    if (!method) {
        PyErr_SetObject(PyExc_AttributeError, key);
        return {};
    }
    PyObject* arguments[] = {object, argument};
    return Ref::steal(
        PyObject_Vectorcall(method.get(), arguments, argument != nullptr ? 2 : 1, nullptr));
}

// A non-negative machine integer from an exact int; nothing for anything else.
std::optional<Py_ssize_t> naturalNumber(PyObject* value) {
    if (!PyLong_CheckExact(value)) {
        return std::nullopt;
    }
    const Py_ssize_t number = PyLong_AsSsize_t(value);
    if (number < 0) {
        PyErr_Clear();  // the OverflowError of a number beyond the range, if it was one
        return std::nullopt;
    }
    return number;
}

std::optional<HeldContent> takeContent(PyObject* stream) {
    if (!originals::isPlainBytesIO(stream)) {
        return std::nullopt;
    }
    // The buffer itself, not a copy.
    Ref buffer = callOwnMethod(stream, "getvalue");
    if (!buffer || !PyBytes_CheckExact(buffer.get())) {
        return std::nullopt;
    }
    Ref position = callOwnMethod(stream, "tell");
    if (!position) {
        return std::nullopt;
    }
    const std::optional<Py_ssize_t> at = naturalNumber(position.get());
    if (!at) {
        return std::nullopt;
    }
    return HeldContent{std::move(buffer), static_cast<std::size_t>(*at)};
}

// The size of a regular file; a pipe's or a device's says nothing of what it holds.
std::optional<std::int64_t> fileLength(PyObject* stream) {
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        return std::nullopt;
    }
    Ref descriptor = callOwnMethod(raw.get(), "fileno");
    if (!descriptor) {
        return std::nullopt;
    }
    const std::optional<Py_ssize_t> number = naturalNumber(descriptor.get());
    struct stat status;
    if (!number || *number > INT_MAX || fstat(static_cast<int>(*number), &status) != 0 ||
        !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return status.st_size;
}

}  // namespace

std::optional<HeldContent> holdContent(PyObject* stream) {
    std::optional<HeldContent> content = takeContent(stream);
    // A closed stream, say: reading it meets the same condition and raises it there.
    PyErr_Clear();
    return content;
}

bool leaveAt(PyObject* stream, std::size_t position, bool read) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref end = Ref::steal(PyLong_FromSize_t(position));
    const bool moved = end && callOwnMethod(stream, "seek", end.get());
    if (raised != nullptr) {
        PyErr_SetRaisedException(raised);  // the reader's error, not the seek's, if both failed
    }
    return read && moved;
}

std::optional<std::int64_t> knownLength(PyObject* stream) {
    if (std::optional<HeldContent> content = holdContent(stream)) {
        return PyBytes_GET_SIZE(content->buffer.get());
    }
    std::optional<std::int64_t> length;
    if (originals::isPlainFile(stream)) {
        length = fileLength(stream);
    }
    // A closed file, say: the reads that follow meet the same condition and
    // raise it there.
    PyErr_Clear();
    return length;
}

Ref read(PyObject* stream, PyObject* size) { return callMethod(stream, "read", size); }

Ref read(PyObject* stream, std::int64_t size) {
    Ref sizeObject = Ref::steal(PyLong_FromLongLong(size));
    if (!sizeObject) {
        return {};
    }
    return read(stream, sizeObject.get());
}

Ref bytesStream(PyObject* data) {
    Ref bytesIO = module_state::global("BytesIO");
    if (!bytesIO) {
        return {};
    }
    return Ref::steal(PyObject_CallOneArg(bytesIO.get(), data));
}

bool seek(PyObject* stream, PyObject* position) {
    return static_cast<bool>(callMethod(stream, "seek", position));
}

}  // namespace py
