#include "capi/stream.hpp"

#include <sys/stat.h>

#include <climits>
#include <initializer_list>
#include <utility>

#include "capi/names.hpp"

namespace py {
namespace {

struct StreamTypes {
    PyTypeObject* bytesIO = nullptr;
    PyTypeObject* bufferedReader = nullptr;
    PyTypeObject* fileIO = nullptr;
};

// Held for the life of the process, so that no other type can take their addresses.
StreamTypes streamTypes;

// Whether an attribute set on `object` itself may stand in front of one of
// its type's methods `names`: the instance dictionary holds one of them, or a
// key that is not an exact str, whose comparison in a lookup could run Python
// code.
bool shadowsAny(PyObject* object, std::initializer_list<const char*> names) {
    PyObject** slot = _PyObject_GetDictPtr(object);
    PyObject* dict = slot != nullptr ? *slot : nullptr;
    if (dict == nullptr) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return true;
        }
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                return true;
            }
        }
    }
    return false;
}

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
    if (!isExactBytesIO(stream)) {
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

bool captureStreamTypes() {
    Ref io = Ref::steal(PyImport_ImportModule("_io"));
    if (!io) {
        return false;
    }
    const std::pair<const char*, PyTypeObject**> types[] = {
        {"BytesIO", &streamTypes.bytesIO},
        {"BufferedReader", &streamTypes.bufferedReader},
        {"FileIO", &streamTypes.fileIO},
    };
    for (auto [name, slot] : types) {
        Ref type = Ref::steal(PyObject_GetAttrString(io.get(), name));
        if (!type) {
            return false;
        }
        if (PyType_Check(type.get())) {
            *slot = reinterpret_cast<PyTypeObject*>(type.release());
        }
    }
    return true;
}

bool isExactBytesIO(PyObject* stream) {
    return streamTypes.bytesIO != nullptr && Py_IS_TYPE(stream, streamTypes.bytesIO) &&
           !shadowsAny(stream, {"read", "seek", "tell", "getvalue"});
}

bool isExactFile(PyObject* stream) {
    if (streamTypes.bufferedReader == nullptr || !Py_IS_TYPE(stream, streamTypes.bufferedReader) ||
        shadowsAny(stream, {"read", "seek", "tell"})) {
        return false;
    }
    // A member of the reader: reading it runs no Python code. A detached
    // reader gives None.
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        PyErr_Clear();
        return false;
    }
    // The reader calls these of its file by name.
    return streamTypes.fileIO != nullptr && Py_IS_TYPE(raw.get(), streamTypes.fileIO) &&
           !shadowsAny(raw.get(), {"readinto", "readall", "read", "seek", "tell", "fileno"});
}

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
    if (isExactFile(stream)) {
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

bool seek(PyObject* stream, PyObject* position) {
    return static_cast<bool>(callMethod(stream, "seek", position));
}

}  // namespace py
