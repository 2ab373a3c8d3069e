#include "glue/stream.hpp"

namespace py {
namespace {

Ref callMethod(PyObject* object, const char* name, PyObject* argument) {
    Ref method = Ref::steal(PyObject_GetAttrString(object, name));
    return method ? Ref::steal(PyObject_CallOneArg(method.get(), argument)) : Ref{};
}

}  // namespace

Ref read(PyObject* stream, PyObject* size) { return callMethod(stream, "read", size); }

Ref read(PyObject* stream, std::int64_t size) {
    Ref sizeObject = Ref::steal(PyLong_FromLongLong(size));
    return sizeObject ? read(stream, sizeObject.get()) : Ref{};
}

bool seek(PyObject* stream, PyObject* position) {
    return static_cast<bool>(callMethod(stream, "seek", position));
}

}  // namespace py
