#include "image/simple_image.hpp"

#include "glue/arguments.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/ref.hpp"
#include "image/length_checks.hpp"
#include "image/open.hpp"
#include "image/save.hpp"
#include "image/sizes.hpp"

#include <optional>

namespace image {
namespace {

constexpr const char* kCoordinateOutOfBounds = "Pixel coordinate out of bounds";
constexpr const char* kNotPicklable = "no default __reduce__ due to non-trivial __cinit__";

using py::Ref;

// --- construction --------------------------------------------------------

constexpr py::Signature<7> kConstructor{
    "SimpleImage",
    {"width", "height", "pixels", "alpha", "png_chunks", "bmp_header", "png_filters"},
    3};

enum ConstructorArgument { kWidth, kHeight, kPixels, kAlpha, kPngChunks, kBmpHeader, kPngFilters };

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
    return requireLength(buffer, expected, mismatch) ? takeBuffer(buffer, buffers) : Ref{};
}

// Copies `value` with `copy` unless it is None.
template <class Copy>
Ref copyOptional(PyObject* value, Copy&& copy) {
    return value == nullptr || value == Py_None ? Ref::none() : copy(value);
}

bool construct(SimpleImageObject* image, const py::Arguments<7>& args, Buffers buffers) {
    std::int32_t width = 0;
    std::int32_t height = 0;
    if (!py::toInt32(args[kWidth], width) || !py::toInt32(args[kHeight], height)) {
        return false;
    }
    if (!requireLength(args[kPixels], sizes::planeSize(width, height, 3), kPixelLengthMismatch)) {
        return false;
    }
    image->width = width;
    image->height = height;

    Ref pixels = takeBuffer(args[kPixels], buffers);
    if (!pixels) {
        return false;
    }
    py::replaceField(image->pixels, std::move(pixels));

    Ref alpha = copyOptional(args[kAlpha], [&](PyObject* value) {
        return takeCheckedBuffer(value, sizes::planeSize(width, height, 1), kAlphaLengthMismatch,
                                 buffers);
    });
    if (!alpha) {
        return false;
    }
    py::replaceField(image->alpha, std::move(alpha));

    Ref chunks = copyOptional(args[kPngChunks], [](PyObject* value) {
        return Ref::steal(PySequence_List(value));
    });
    if (!chunks) {
        return false;
    }
    py::replaceField(image->pngChunks, std::move(chunks));

    Ref filters = copyOptional(args[kPngFilters], [&](PyObject* value) {
        return takeCheckedBuffer(value, height, kFilterCountMismatch, buffers);
    });
    if (!filters) {
        return false;
    }
    py::replaceField(image->pngFilters, std::move(filters));

    Ref header = copyOptional(args[kBmpHeader], [](PyObject* value) {
        return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
    });
    if (!header) {
        return false;
    }
    py::replaceField(image->bmpHeader, std::move(header));
    return true;
}

Ref allocateAndConstruct(PyTypeObject* type, const py::Arguments<7>& bound, Buffers buffers) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return {};
    }
    SimpleImageObject* image = asImage(self.get());
    for (PyObject** field : {&image->pixels, &image->alpha, &image->pngChunks,
                             &image->pngFilters, &image->bmpHeader}) {
        *field = Py_NewRef(Py_None);
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

}  // namespace

Ref constructFromNewObjects(PyObject* cls, const py::Arguments<7>& args) {
    PyTypeObject* type = module_record::imageType();
    // Calling the class itself, as long as its construction is still this one,
    // runs nothing but the steps above: then the buffers can be adopted.
    const bool ownConstruction = cls == reinterpret_cast<PyObject*>(type) &&
                                 Py_TYPE(cls) == &PyType_Type && type->tp_new == newImage &&
                                 type->tp_init == PyBaseObject_Type.tp_init;
    if (ownConstruction) {
        return allocateAndConstruct(type, args, Buffers::adoptedWhenUnshared);
    }
    return Ref::steal(PyObject_Vectorcall(cls, args.data(), args.size(), nullptr));
}

namespace {

// --- lifecycle -----------------------------------------------------------

// The pixel buffer is always a bytearray or None, which cannot be part of a
// cycle, so only the four free-form fields take part in garbage collection.
int traverse(PyObject* self, visitproc visit, void* arg) {
    SimpleImageObject* image = asImage(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(image->alpha);
    Py_VISIT(image->pngChunks);
    Py_VISIT(image->pngFilters);
    Py_VISIT(image->bmpHeader);
    return 0;
}

int clear(PyObject* self) {
    SimpleImageObject* image = asImage(self);
    for (PyObject** field :
         {&image->alpha, &image->pngChunks, &image->pngFilters, &image->bmpHeader}) {
        py::replaceField(*field, Ref::none());
    }
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SimpleImageObject* image = asImage(self);
    Py_CLEAR(image->pixels);
    Py_CLEAR(image->alpha);
    Py_CLEAR(image->pngChunks);
    Py_CLEAR(image->pngFilters);
    Py_CLEAR(image->bmpHeader);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- attributes ----------------------------------------------------------

PyObject* getSize(PyObject* self, void*) {
    return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height);
}

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

PyObject* getPixels(PyObject* self, void*) { return Py_NewRef(asImage(self)->pixels); }

int setPixels(PyObject* self, PyObject* value, void*) {
    if (value != nullptr && value != Py_None && !PyByteArray_CheckExact(value)) {
        py::raiseExpectedType("bytearray", value);
        return -1;
    }
    py::replaceField(asImage(self)->pixels, Ref::borrow(value != nullptr ? value : Py_None));
    return 0;
}

// The side-data attributes take any object; the closure is the field's offset.
PyObject*& sideField(PyObject* self, void* closure) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                         reinterpret_cast<std::ptrdiff_t>(closure));
}

PyObject* getSideData(PyObject* self, void* closure) {
    return Py_NewRef(sideField(self, closure));
}

int setSideData(PyObject* self, PyObject* value, void* closure) {
    py::replaceField(sideField(self, closure), Ref::borrow(value != nullptr ? value : Py_None));
    return 0;
}

void* fieldOffset(std::size_t offset) { return reinterpret_cast<void*>(offset); }

PyGetSetDef getset[] = {
    {"size", getSize, nullptr, nullptr, nullptr},
    {"width", getDimension, setDimension, nullptr, nullptr},
    {"height", getDimension, setDimension, nullptr, reinterpret_cast<void*>(1)},
    {"pixels", getPixels, setPixels, nullptr, nullptr},
    {"_alpha", getSideData, setSideData, nullptr,
     fieldOffset(offsetof(SimpleImageObject, alpha))},
    {"_png_chunks", getSideData, setSideData, nullptr,
     fieldOffset(offsetof(SimpleImageObject, pngChunks))},
    {"_png_filters", getSideData, setSideData, nullptr,
     fieldOffset(offsetof(SimpleImageObject, pngFilters))},
    {"_bmp_header", getSideData, setSideData, nullptr,
     fieldOffset(offsetof(SimpleImageObject, bmpHeader))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- pixel access --------------------------------------------------------

// Where `coords` points: the objects x and y and the index of the red byte.
// `direct` holds the index as a machine integer when it is a plain int that fits.
struct PixelIndex {
    Ref index;
    std::optional<Py_ssize_t> direct;
};

bool compareOrFail(PyObject* a, PyObject* b, int op, bool& result) {
    const int outcome = PyObject_RichCompareBool(a, b, op);
    result = outcome == 1;
    return outcome >= 0;
}

// Bounds test `0 <= x < width and 0 <= y < height`, evaluated as the interpreter
// would, stopping at the first false comparison.
bool withinBounds(PyObject* x, PyObject* y, const SimpleImageObject* image, bool& inside) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref width = py::fromInt32(image->width);
    Ref height = py::fromInt32(image->height);
    if (!zero || !width || !height) {
        return false;
    }
    const struct { PyObject* a; PyObject* b; int op; } tests[] = {
        {zero.get(), x, Py_LE}, {x, width.get(), Py_LT},
        {zero.get(), y, Py_LE}, {y, height.get(), Py_LT}};
    inside = true;
    for (const auto& test : tests) {
        if (!compareOrFail(test.a, test.b, test.op, inside)) {
            return false;
        }
        if (!inside) {
            return true;
        }
    }
    return true;
}

std::optional<Py_ssize_t> directIndex(PyObject* x, PyObject* y, std::int32_t width) {
    if (!PyLong_CheckExact(x) || !PyLong_CheckExact(y)) {
        return std::nullopt;
    }
    // Both passed the bounds test against 32-bit dimensions, so they fit in a long long.
    const long long column = PyLong_AsLongLong(x);
    const long long row = PyLong_AsLongLong(y);
    const auto index = sizes::multiply(sizes::add(sizes::multiply(row, width), column), 3);
    if (!index || *index > PY_SSIZE_T_MAX) {
        return std::nullopt;
    }
    return static_cast<Py_ssize_t>(*index);
}

// Checks `coords`, unpacks and bounds-tests it, and computes (y * width + x) * 3.
bool locatePixel(const SimpleImageObject* image, PyObject* coords, PixelIndex& where) {
    if (!py::requireExactType(coords, &PyTuple_Type, "coords", py::NoneAllowed::no,
                              py::SubclassNote::yes)) {
        return false;
    }
    Ref xy[2];
    if (!py::unpack(coords, xy, 2)) {
        return false;
    }
    bool inside = false;
    if (!withinBounds(xy[0].get(), xy[1].get(), image, inside)) {
        return false;
    }
    if (!inside) {
        PyErr_SetString(PyExc_ValueError, kCoordinateOutOfBounds);
        return false;
    }
    where.direct = directIndex(xy[0].get(), xy[1].get(), image->width);
    if (where.direct) {
        where.index = Ref::steal(PyLong_FromSsize_t(*where.direct));
        return static_cast<bool>(where.index);
    }
    Ref width = py::fromInt32(image->width);
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref rowStart = width ? Ref::steal(PyNumber_Multiply(xy[1].get(), width.get())) : Ref{};
    Ref position = rowStart ? Ref::steal(PyNumber_Add(rowStart.get(), xy[0].get())) : Ref{};
    where.index = position && three ? Ref::steal(PyNumber_Multiply(position.get(), three.get()))
                                    : Ref{};
    return static_cast<bool>(where.index);
}

// Byte `offset` after the pixel's red byte: read directly from an exact bytearray
// when it is there, else through ordinary indexing, which raises the interpreter's error.
Ref indexPlus(const PixelIndex& where, int offset) {
    if (offset == 0) {
        return where.index;
    }
    Ref step = Ref::steal(PyLong_FromLong(offset));
    return step ? Ref::steal(PyNumber_Add(where.index.get(), step.get())) : Ref{};
}

unsigned char* directByte(PyObject* pixels, const PixelIndex& where, int offset) {
    if (!where.direct || !PyByteArray_CheckExact(pixels) ||
        *where.direct + offset >= PyByteArray_GET_SIZE(pixels)) {
        return nullptr;
    }
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels)) + *where.direct +
           offset;
}

Ref readComponent(PyObject* pixels, const PixelIndex& where, int offset) {
    if (const unsigned char* byte = directByte(pixels, where, offset)) {
        return Ref::steal(PyLong_FromLong(*byte));
    }
    Ref index = indexPlus(where, offset);
    return index ? Ref::steal(PyObject_GetItem(pixels, index.get())) : Ref{};
}

// pixels[index + offset] = int(component) & 255
bool writeComponent(PyObject* pixels, const PixelIndex& where, int offset, PyObject* component) {
    Ref integer = Ref::steal(PyNumber_Long(component));
    if (!integer) {
        return false;
    }
    // Reducing modulo 2**64 first keeps the low byte, so this equals `int & 255`.
    const unsigned long long masked = PyLong_AsUnsignedLongLongMask(integer.get()) & 255u;
    if (masked == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    // Indexing may run arbitrary code, so the buffer is fetched again for every component.
    if (unsigned char* byte = directByte(pixels, where, offset)) {
        *byte = static_cast<unsigned char>(masked);
        return true;
    }
    Ref index = indexPlus(where, offset);
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(masked));
    return index && value && PyObject_SetItem(pixels, index.get(), value.get()) == 0;
}

constexpr py::Signature<1> kGetPixel{"_getPixel", {"coords"}, 1};
constexpr py::Signature<2> kPutPixel{"_putPixel", {"coords", "value"}, 2};
constexpr py::Signature<1> kSetState{"__setstate__", {"state"}, 1};

PyObject* getPixel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    PixelIndex where;
    if (!py::bind(kGetPixel, args, nargs, kwnames, bound) ||
        !locatePixel(asImage(self), bound[0], where)) {
        return nullptr;
    }
    Ref pixels = Ref::borrow(asImage(self)->pixels);
    Ref rgb[3];
    for (int c = 0; c < 3; ++c) {
        rgb[c] = readComponent(pixels.get(), where, c);
        if (!rgb[c]) {
            return nullptr;
        }
    }
    return PyTuple_Pack(3, rgb[0].get(), rgb[1].get(), rgb[2].get());
}

PyObject* putPixel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<2> bound;
    PixelIndex where;
    if (!py::bind(kPutPixel, args, nargs, kwnames, bound) ||
        !locatePixel(asImage(self), bound[0], where)) {
        return nullptr;
    }
    Ref rgb[3];
    if (!py::unpack(bound[1], rgb, 3)) {
        return nullptr;
    }
    for (int c = 0; c < 3; ++c) {
        // Converting a component may run Python code that replaces the buffer.
        Ref pixels = Ref::borrow(asImage(self)->pixels);
        if (!writeComponent(pixels.get(), where, c, rgb[c].get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// --- copying and pickling ------------------------------------------------

Ref wholeSlice(PyObject* object) {
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    return all ? Ref::steal(PyObject_GetItem(object, all.get())) : Ref{};
}

Ref sliceOrNone(PyObject* object) {
    return object == Py_None ? Ref::none() : wholeSlice(object);
}

PyObject* copyImage(PyObject* self, PyObject*) {
    const SimpleImageObject* image = asImage(self);
    Ref alpha = sliceOrNone(image->alpha);
    Ref chunks = alpha ? sliceOrNone(image->pngChunks) : Ref{};
    Ref filters = chunks ? sliceOrNone(image->pngFilters) : Ref{};
    Ref header = !filters ? Ref{}
                 : image->bmpHeader == Py_None
                     ? Ref::none()
                     : Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                      image->bmpHeader));
    Ref width = header ? py::fromInt32(image->width) : Ref{};
    Ref height = width ? py::fromInt32(image->height) : Ref{};
    Ref pixels = height ? wholeSlice(image->pixels) : Ref{};
    if (!pixels) {
        return nullptr;
    }
    // Always the class itself: a copy of a subclass instance is a plain SimpleImage.
    return constructFromNewObjects(reinterpret_cast<PyObject*>(module_record::imageType()),
                                   {width.get(), height.get(), pixels.get(), alpha.get(),
                                    chunks.get(), header.get(), filters.get()})
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

template <class Function>
PyCFunction asCFunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

// The text signatures give `inspect.signature` and IDEs the parameters; the
// methods carry no docstring beyond them.
PyMethodDef methods[] = {
    {"open", asCFunction(openImage), kFastKeywords | METH_CLASS, "open($type, /, source)\n--\n\n"},
    {"_getPixel", asCFunction(getPixel), kFastKeywords, "_getPixel($self, /, coords)\n--\n\n"},
    {"_putPixel", asCFunction(putPixel), kFastKeywords,
     "_putPixel($self, /, coords, value)\n--\n\n"},
    {"_copy", copyImage, METH_NOARGS, "_copy($self, /)\n--\n\n"},
    {"save", asCFunction(save), kFastKeywords, "save($self, /, path)\n--\n\n"},
    {"__reduce__", refusePickling, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", asCFunction(refuseSetState), kFastKeywords,
     "__setstate__($self, /, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "SimpleImage(width, height, pixels, alpha=None, png_chunks=None, "
                    "bmp_header=None, png_filters=None)\n--\n\n"
                    "A minimal 8-bit RGB image with an optional alpha plane.")},
    {Py_tp_new, reinterpret_cast<void*>(newImage)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "Corvane.simpleImage_ext.SimpleImage",
    sizeof(SimpleImageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

bool addSimpleImageType(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) {
        return false;
    }
    module_record::recordImageType(reinterpret_cast<PyTypeObject*>(type.get()));
    return addStreamToImage(reinterpret_cast<PyTypeObject*>(type.get())) &&
           PyModule_AddObjectRef(module, "SimpleImage", type.get()) == 0;
}

}  // namespace image
