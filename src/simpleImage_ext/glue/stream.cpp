#include "glue/stream.hpp"

#include <sys/stat.h>

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

std::optional<std::int64_t> bytesIOLength(PyObject* stream) {
    // The buffer itself, not a copy.
    Ref data = Ref::steal(PyObject_CallMethod(stream, "getvalue", nullptr));
    if (!data || !PyBytes_Check(data.get())) {
        return std::nullopt;
    }
    return PyBytes_GET_SIZE(data.get());
}

// The size of a regular file; a pipe's or a device's says nothing of what it holds.
std::optional<std::int64_t> fileLength(PyObject* stream) {
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        return std::nullopt;
    }
    const int descriptor = PyObject_AsFileDescriptor(raw.get());
    if (descriptor < 0) {
        return std::nullopt;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return status.st_size;
}

}  // namespace

std::optional<std::int64_t> knownLength(PyObject* stream) {
    std::optional<std::int64_t> length;
    if (originals::isPlainBytesIO(stream)) {
        length = bytesIOLength(stream);
    } else if (originals::isPlainFile(stream)) {
        length = fileLength(stream);
    }
    // A closed stream, say: the reads that follow meet the same condition and
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
