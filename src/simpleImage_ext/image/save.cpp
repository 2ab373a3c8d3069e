#include "image/save.hpp"

#include <frameobject.h>

#include "capi/arguments.hpp"
#include "capi/conversions.hpp"
#include "image/simple_image.hpp"
#include "module/module_state.hpp"

namespace image {
namespace {

using py::Ref;
using module_state::callGlobalFunction;

constexpr py::Declaration<1> kSave{"save", py::Receiver::self, {"path"}, 1};

// Where the traceback entry of `save` points: this source, as the project lays it out.
constexpr const char* kSourceFile = "src/simpleImage_ext/image/save.cpp";

// A frame for `save` stopped at `line`, as a Python function's frame would be:
// an empty code object named after it, run in the module's namespace.
Ref saveFrame(int line) {
    PyObject* globals = module_state::namespaceDict();
    if (globals == nullptr) {
        return {};
    }
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, kSave.name, line);
    if (code == nullptr) {
        return {};
    }
    Ref codeObject = Ref::steal(reinterpret_cast<PyObject*>(code));
    return Ref::steal(
        reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
}

// Adds the entry of `save` to the traceback of the exception being raised.
// Built on the error path only; an entry that cannot be built is left out and
// the exception stays as it was.
void addTracebackEntry(int line) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref frame = saveFrame(line);
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

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
    const int writerCallLine = __LINE__ + 1;
    if (!callWriter(bound[0], asImage(self))) {
        addTracebackEntry(writerCallLine);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef saveMethod() { return py::methodRow<kSave, save>(); }

}  // namespace image
