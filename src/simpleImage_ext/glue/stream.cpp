#include "glue/stream.hpp"

#include "glue/module_state.hpp"
#include "glue/names.hpp"

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

}  // namespace

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
