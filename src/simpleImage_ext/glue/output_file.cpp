#include "glue/output_file.hpp"

#include "glue/names.hpp"

namespace output_file {

bool write(PyObject* file, PyObject* piece) {
    PyObject* write = py::name("write");
    if (write == nullptr) {
        return false;
    }
    return static_cast<bool>(py::Ref::steal(PyObject_CallMethodOneArg(file, write, piece)));
}

bool writeAll(PyObject* file, std::span<const py::Ref> pieces) {
    for (const py::Ref& piece : pieces) {
        if (!write(file, piece.get())) {
            return false;
        }
    }
    return true;
}

}  // namespace output_file
