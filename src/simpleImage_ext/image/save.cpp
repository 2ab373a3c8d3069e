#include "image/save.hpp"

#include "glue/arguments.hpp"
#include "glue/conversions.hpp"
#include "glue/module_state.hpp"
#include "image/simple_image.hpp"

namespace image {
namespace {

using py::Ref;
using module_state::callGlobalFunction;

constexpr py::Declaration<1> kSave{"save", py::Receiver::self, {"path"}, 1};

// A stored PNG chunk list (even an empty one) goes to the chunk-preserving PNG
// writer, else a BMP header record to the BMP writer, else a plain PNG is
// written. The writers are looked up in the module at each call and get the
// image's own objects, not copies.
Ref callWriter(PyObject* path, const SimpleImageObject* image) {
    Ref width = py::fromInt32(image->width);
    if (!width) {
        return {};
    }
    Ref height = py::fromInt32(image->height);
    if (!height) {
        return {};
    }
    const auto held = heldObjects(image);
    PyObject* pixels = held[kPixels].get();
    PyObject* alpha = held[kAlpha].get();
    PyObject* filters = held[kPngFilters].get();
    if (held[kPngChunks].get() != Py_None) {
        return callGlobalFunction("_writePngWithChunks", path, width.get(), height.get(), pixels,
                                  alpha, held[kPngChunks].get(), filters);
    }
    if (held[kBmpHeaderRecord].get() != Py_None) {
        return callGlobalFunction("_writeBmp", path, width.get(), height.get(), pixels,
                                  held[kBmpHeaderRecord].get());
    }
    return callGlobalFunction("_writePng", path, width.get(), height.get(), pixels, alpha,
                              filters);
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kSave, args, nargs, kwnames, bound) ||
        !py::requireExactType(bound[0], &PyUnicode_Type, "path", py::NoneAllowed::no,
                              py::SubclassNote::yes)) {
        return nullptr;
    }
    if (!callWriter(bound[0], asImage(self))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef saveMethod() { return py::methodRow<kSave, save>(); }

}  // namespace image
