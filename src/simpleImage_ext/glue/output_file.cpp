#include "glue/output_file.hpp"

namespace output_file {

bool write(PyObject* file, PyObject* piece) {
    return py::Ref::steal(PyObject_CallMethod(file, "write", "(O)", piece)).get() != nullptr;
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
