#include "glue/stream.hpp"

#include "glue/names.hpp"

namespace py {
namespace {

// object.name(argument), without making a bound method on the way.
Ref callMethod(PyObject* object, const char* name, PyObject* argument) {
    PyObject* key = py::name(name);
    return key != nullptr ? Ref::steal(PyObject_CallMethodOneArg(object, key, argument)) : Ref{};
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
