#include "image/simple_image.hpp"

#include <cstdint>
#include <optional>

#include "capi/conversions.hpp"
#include "image/open.hpp"
#include "image/pixel_access.hpp"
#include "image/save.hpp"
#include "kernels/sizes.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "module/plane_lengths.hpp"

namespace image {
namespace {

using py::Ref;

constexpr const char* kNotPicklable = "no default __reduce__ due to non-trivial __cinit__";

// --- construction --------------------------------------------------------

enum ConstructorArgument {
    kWidthArgument, kHeightArgument, kPixelsArgument, kAlphaArgument, kPngChunksArgument,
    kBmpHeaderArgument, kPngFiltersArgument,
};

constexpr py::Declaration<7> kConstructor{
    "SimpleImage",
    py::Receiver::constructor,
    {"width", "height", "pixels", "alpha", "png_chunks", "bmp_header", "png_filters"},
    3,
    "A minimal 8-bit RGB image with an optional alpha plane.",
};

// The constructor's argument for each object field: its positional order puts
// the BMP header record before the PNG filter list.
constexpr ConstructorArgument kArgumentOfField[kObjectFieldCount] = {
    kPixelsArgument, kAlphaArgument, kPngChunksArgument, kPngFiltersArgument, kBmpHeaderArgument,
};

// Whether the constructor copies the buffers it is given, or may keep those
// that nothing else can reach.
enum class Buffers : bool { copied, adoptedWhenUnshared };

// bytearray(buffer): a new copy, unless `buffers` allows keeping an exact
// bytearray to which the caller holds the only reference. No one else can see
// such an object, so keeping it cannot be told apart from copying it.
Ref takeBuffer(PyObject* buffer, Buffers buffers) {
    if (buffers == Buffers::adoptedWhenUnshared && PyByteArray_CheckExact(buffer) &&
        Py_REFCNT(buffer) == 1) {
        return Ref::borrow(buffer);
    }
    return Ref::steal(PyByteArray_FromObject(buffer));
}

// The buffer taken as above after checking its length against `expected`.
Ref takeCheckedBuffer(PyObject* buffer, std::optional<std::int64_t> expected,
                      const char* mismatch, Buffers buffers) {
    if (!py::requireLength(buffer, expected, mismatch)) {
        return {};
    }
    return takeBuffer(buffer, buffers);
}

// The value that object field `field` stores for the constructor argument
// `value`: always a new container, never the caller's. The pixel buffer's length
// has been checked before the dimensions were stored.
Ref takeField(ObjectField field, PyObject* value, std::int32_t width, std::int32_t height,
              Buffers buffers) {
    if (field == kPixels) {
        return takeBuffer(value, buffers);
    }
    if (value == nullptr || value == Py_None) {
        return Ref::none();
    }
    switch (field) {
        case kAlpha:
            return takeCheckedBuffer(value, kernels::sizes::planeSize(width, height, 1),
                                     py::kAlphaLengthMismatch, buffers);
        case kPngChunks:
            return Ref::steal(PySequence_List(value));
        case kPngFilters:
            return takeCheckedBuffer(value, height, py::kFilterCountMismatch, buffers);
        default:
            return Ref::steal(
                PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    }
}

bool construct(SimpleImageObject* image, const py::Arguments<7>& args, Buffers buffers) {
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (!py::toInt32(args[kWidthArgument], width) || !py::toInt32(args[kHeightArgument], height)) {
        return false;
    }
    if (!py::requireLength(args[kPixelsArgument], kernels::sizes::planeSize(width, height, 3),
                           py::kPixelLengthMismatch)) {
        return false;
    }
    image->width = width;
    image->height = height;
    for (std::size_t field = 0; field < kObjectFieldCount; ++field) {
        Ref value = takeField(static_cast<ObjectField>(field), args[kArgumentOfField[field]],
                              width, height, buffers);
        if (!value) {
            return false;
        }
        py::replaceField(image->objects[field], std::move(value));
    }
    return true;
}

Ref allocateAndConstruct(PyTypeObject* type, const py::Arguments<7>& bound, Buffers buffers) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return {};
    }
    SimpleImageObject* image = asImage(self.get());
    for (PyObject*& field : image->objects) {
        field = Py_NewRef(Py_None);
    }
    if (!construct(image, bound, buffers)) {
        return {};
    }
    return self;
}

PyObject* newImage(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    py::Arguments<7> bound;
    if (!py::bind(kConstructor, args, kwargs, bound)) {
        return nullptr;
    }
    return allocateAndConstruct(type, bound, Buffers::copied).release();
}

// --- lifecycle -----------------------------------------------------------

// The pixel buffer is always a bytearray or None, which cannot be part of a
// cycle, so only the side data takes part in garbage collection.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const SimpleImageObject* image = asImage(self);
    for (std::size_t field = kFirstSideData; field < kObjectFieldCount; ++field) {
        Py_VISIT(image->objects[field]);
    }
    return 0;
}

int clear(PyObject* self) {
    SimpleImageObject* image = asImage(self);
    for (std::size_t field = kFirstSideData; field < kObjectFieldCount; ++field) {
        py::replaceField(image->objects[field], Ref::none());
    }
    return 0;
}

// A chain of images linked through side data (each image's `_alpha` the next
// image, say) is released one image per nested call. The interpreter's trashcan
// defers the images beyond a fixed depth and releases them once the stack has
// unwound, as it does for chains of lists or dicts, so no chain is too deep.
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc)
    for (PyObject*& field : asImage(self)->objects) {
        Py_CLEAR(field);
    }
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// --- attributes ----------------------------------------------------------

PyObject* getSize(PyObject* self, void*) {
    return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height);
}

// The closure of `height` is non-null, that of `width` null.
std::int32_t SimpleImageObject::*dimensionField(void* closure) {
    return closure != nullptr ? &SimpleImageObject::height : &SimpleImageObject::width;
}

PyObject* getDimension(PyObject* self, void* closure) {
    return py::fromInt32(asImage(self)->*dimensionField(closure)).release();
}

int setDimension(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    std::int32_t converted = 0;
    if (!py::toInt32(value, converted)) {
        return -1;
    }
    asImage(self)->*dimensionField(closure) = converted;
    return 0;
}

// The closures of the object attributes name their field.
void* closureOf(ObjectField field) { return reinterpret_cast<void*>(std::uintptr_t{field}); }

PyObject*& objectField(PyObject* self, void* closure) {
    return asImage(self)->objects[reinterpret_cast<std::uintptr_t>(closure)];
}

PyObject* getObject(PyObject* self, void* closure) {
    return Py_NewRef(objectField(self, closure));
}

// Deleting an object attribute stores None.
int setPixels(PyObject* self, PyObject* value, void* closure) {
    if (value != nullptr && value != Py_None && !PyByteArray_CheckExact(value)) {
        py::raiseExpectedType("bytearray", value);
        return -1;
    }
    py::replaceField(objectField(self, closure), Ref::borrow(value != nullptr ? value : Py_None));
    return 0;
}

// The side-data attributes take any object.
int setSideData(PyObject* self, PyObject* value, void* closure) {
    py::replaceField(objectField(self, closure), Ref::borrow(value != nullptr ? value : Py_None));
    return 0;
}

PyGetSetDef getset[] = {
    {"size", getSize, nullptr, nullptr, nullptr},
    {"width", getDimension, setDimension, nullptr, nullptr},
    {"height", getDimension, setDimension, nullptr, reinterpret_cast<void*>(1)},
    {"pixels", getObject, setPixels, nullptr, closureOf(kPixels)},
    {"_alpha", getObject, setSideData, nullptr, closureOf(kAlpha)},
    {"_png_chunks", getObject, setSideData, nullptr, closureOf(kPngChunks)},
    {"_png_filters", getObject, setSideData, nullptr, closureOf(kPngFilters)},
    {"_bmp_header", getObject, setSideData, nullptr, closureOf(kBmpHeaderRecord)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- copying and pickling ------------------------------------------------

constexpr py::Declaration<0> kCopy{"_copy", py::Receiver::self, {}, 0};
constexpr py::Declaration<0> kReduce{"__reduce__", py::Receiver::self, {}, 0};
constexpr py::Declaration<1> kSetState{"__setstate__", py::Receiver::self, {"state"}, 1};

Ref wholeSlice(PyObject* object) {
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) {
        return {};
    }
    return Ref::steal(PyObject_GetItem(object, all.get()));
}

// `value[:]`, or dict(value) for the header record; None stays None.
Ref copySideData(std::size_t field, PyObject* value) {
    if (value == Py_None) {
        return Ref::none();
    }
    if (field == kBmpHeaderRecord) {
        return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    }
    return wholeSlice(value);
}

// Each field is read when its copy is made: copying one may run code that
// replaces another.
PyObject* copyImage(PyObject* self, PyObject*) {
    const SimpleImageObject* image = asImage(self);
    std::array<Ref, kObjectFieldCount> copies;
    for (std::size_t field = kFirstSideData; field < kObjectFieldCount; ++field) {
        copies[field] = copySideData(field, Ref::borrow(image->objects[field]).get());
        if (!copies[field]) {
            return nullptr;
        }
    }
    Ref width = py::fromInt32(image->width);
    if (!width) {
        return nullptr;
    }
    Ref height = py::fromInt32(image->height);
    if (!height) {
        return nullptr;
    }
    copies[kPixels] = wholeSlice(Ref::borrow(image->objects[kPixels]).get());
    if (!copies[kPixels]) {
        return nullptr;
    }
    py::Arguments<7> args{};
    args[kWidthArgument] = width.get();
    args[kHeightArgument] = height.get();
    for (std::size_t field = 0; field < kObjectFieldCount; ++field) {
        args[kArgumentOfField[field]] = copies[field].get();
    }
    // Always the class itself: a copy of a subclass instance is a plain SimpleImage.
    return constructFromNewObjects(reinterpret_cast<PyObject*>(module_state::imageType()), args)
        .release();
}

PyObject* refusePickling(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNotPicklable);
    return nullptr;
}

PyObject* refuseSetState(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (py::bind(kSetState, args, nargs, kwnames, bound)) {
        PyErr_SetString(PyExc_TypeError, kNotPicklable);
    }
    return nullptr;
}

// --- the class -----------------------------------------------------------

PyType_Spec* typeSpec() {
    // The methods carry text signatures for `inspect.signature` and no docstrings.
    static PyMethodDef methods[] = {
        openMethod(),
        getPixelMethod(),
        putPixelMethod(),
        py::methodRow<kCopy, copyImage>(),
        saveMethod(),
        py::methodRow<kReduce, refusePickling>(),
        py::methodRow<kSetState, refuseSetState>(),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(py::kTextSignature<kConstructor>.data())},
        {Py_tp_new, reinterpret_cast<void*>(newImage)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "Corvane.simpleImage_ext.SimpleImage",
        sizeof(SimpleImageObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        slots,
    };
    return &spec;
}

}  // namespace

std::array<Ref, kObjectFieldCount> heldObjects(const SimpleImageObject* image) {
    std::array<Ref, kObjectFieldCount> held;
    for (std::size_t field = 0; field < kObjectFieldCount; ++field) {
        held[field] = Ref::borrow(image->objects[field]);
    }
    return held;
}

Ref constructFromNewObjects(PyObject* cls, const py::Arguments<7>& args) {
    // Calling the class itself, as long as its construction is still this one,
    // runs nothing but the steps above: then the buffers can be adopted.
    if (own_names::isOwnImageClass(cls)) {
        return allocateAndConstruct(module_state::imageType(), args, Buffers::adoptedWhenUnshared);
    }
    return Ref::steal(PyObject_Vectorcall(cls, args.data(), args.size(), nullptr));
}

bool addSimpleImageType(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, typeSpec(), nullptr));
    if (!type) {
        return false;
    }
    auto* imageType = reinterpret_cast<PyTypeObject*>(type.get());
    module_state::recordImageType(imageType);
    return addStreamToImage(imageType) &&
           PyModule_AddObjectRef(module, "SimpleImage", type.get()) == 0;
}

}  // namespace image
