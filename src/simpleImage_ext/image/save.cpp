#include "image/save.hpp"

#include "glue/arguments.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "image/simple_image.hpp"

namespace image {
namespace {

using py::Ref;
using module_record::callGlobalFunction;

constexpr py::Signature<1> kSave{"save", {"path"}, 1};

}  // namespace

// A stored PNG chunk list (even an empty one) goes to the chunk-preserving PNG
// writer, else a BMP header record to the BMP writer, else a plain PNG is
// written. The writers are looked up in the module at each call and get the
// image's own objects, not copies.
PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kSave, args, nargs, kwnames, bound) ||
        !py::requireExactType(bound[0], &PyUnicode_Type, "path", py::NoneAllowed::no,
                              py::SubclassNote::yes)) {
        return nullptr;
    }
    PyObject* path = bound[0];
    const SimpleImageObject* image = asImage(self);
    Ref width = py::fromInt32(image->width);
    Ref height = width ? py::fromInt32(image->height) : Ref{};
    if (!height) {
        return nullptr;
    }
    // Held for the call: a writer may replace the image's fields meanwhile.
    Ref pixels = Ref::borrow(image->pixels);
    Ref alpha = Ref::borrow(image->alpha);
    Ref chunks = Ref::borrow(image->pngChunks);
    Ref filters = Ref::borrow(image->pngFilters);
    Ref header = Ref::borrow(image->bmpHeader);
    Ref written;
    if (chunks.get() != Py_None) {
        written = callGlobalFunction("_writePngWithChunks", path, width.get(), height.get(),
                                     pixels.get(), alpha.get(), chunks.get(), filters.get());
    } else if (header.get() != Py_None) {
        written = callGlobalFunction("_writeBmp", path, width.get(), height.get(), pixels.get(),
                                     header.get());
    } else {
        written = callGlobalFunction("_writePng", path, width.get(), height.get(), pixels.get(),
                                     alpha.get(), filters.get());
    }
    return written ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace image
