#include "glue/stream.hpp"

#include "glue/names.hpp"

namespace py {
namespace {

Ref callMethod(PyObject* object, const char* name, PyObject* argument) {
    PyObject* key = py::name(name);
    Ref method = key != nullptr ? Ref::steal(PyObject_GetAttr(object, key)) : Ref{};
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
