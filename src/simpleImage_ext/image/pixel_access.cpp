#include "image/pixel_access.hpp"

#include <optional>
#include <utility>

#include "capi/arguments.hpp"
#include "capi/conversions.hpp"
#include "image/simple_image.hpp"
#include "kernels/sizes.hpp"

namespace image {
namespace {

using py::Ref;
namespace sizes = kernels::sizes;

constexpr const char* kCoordinateOutOfBounds = "Pixel coordinate out of bounds";

constexpr py::Declaration<1> kGetPixel{"_getPixel", py::Receiver::self, {"coords"}, 1};
constexpr py::Declaration<2> kPutPixel{"_putPixel", py::Receiver::self, {"coords", "value"}, 2};

// Where `coords` points: the index of the red byte as a Python int, and as a
// machine integer when x and y are plain ints.
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
// would, stopping at the first false comparison. Each dimension is read when it
// is compared: a comparison before it may have run code that changed it.
bool withinBounds(PyObject* x, PyObject* y, const SimpleImageObject* image, bool& inside) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) {
        return false;
    }
    const std::pair<PyObject*, std::int32_t SimpleImageObject::*> axes[] = {
        {x, &SimpleImageObject::width}, {y, &SimpleImageObject::height}};
    inside = true;
    for (const auto& [coordinate, dimension] : axes) {
        if (!compareOrFail(zero.get(), coordinate, Py_LE, inside)) {
            return false;
        }
        if (!inside) {
            return true;
        }
        Ref bound = py::fromInt32(image->*dimension);
        if (!bound || !compareOrFail(coordinate, bound.get(), Py_LT, inside)) {
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

// (y * width + x) * 3 in the interpreter's arithmetic, for any objects x and y.
Ref pythonIndex(PyObject* x, PyObject* y, std::int32_t width) {
    Ref widthObject = py::fromInt32(width);
    if (!widthObject) {
        return {};
    }
    Ref rowStart = Ref::steal(PyNumber_Multiply(y, widthObject.get()));
    if (!rowStart) {
        return {};
    }
    Ref position = Ref::steal(PyNumber_Add(rowStart.get(), x));
    if (!position) {
        return {};
    }
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!three) {
        return {};
    }
    return Ref::steal(PyNumber_Multiply(position.get(), three.get()));
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
    where.index = where.direct ? Ref::steal(PyLong_FromSsize_t(*where.direct))
                               : pythonIndex(xy[0].get(), xy[1].get(), image->width);
    return static_cast<bool>(where.index);
}

// index + offset, as a Python int.
Ref indexPlus(const PixelIndex& where, int offset) {
    if (offset == 0) {
        return where.index;
    }
    Ref step = Ref::steal(PyLong_FromLong(offset));
    if (!step) {
        return {};
    }
    return Ref::steal(PyNumber_Add(where.index.get(), step.get()));
}

// Byte `offset` after the pixel's red byte, when it can be reached directly: in
// an exact bytearray, at a machine index inside it. Otherwise the caller goes
// through ordinary indexing, which raises the interpreter's error.
unsigned char* directByte(PyObject* pixels, const PixelIndex& where, int offset) {
    if (!where.direct || !PyByteArray_CheckExact(pixels) ||
        *where.direct + offset >= PyByteArray_GET_SIZE(pixels)) {
        return nullptr;
    }
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(pixels)) + *where.direct +
           offset;
}

// pixels[index + offset]
Ref readComponent(PyObject* pixels, const PixelIndex& where, int offset) {
    if (const unsigned char* byte = directByte(pixels, where, offset)) {
        return Ref::steal(PyLong_FromLong(*byte));
    }
    Ref index = indexPlus(where, offset);
    if (!index) {
        return {};
    }
    return Ref::steal(PyObject_GetItem(pixels, index.get()));
}

// pixels[index + offset] = int(component) & 255, with `pixels` the image's
// buffer as it stands once the component is converted: the conversion may run
// code that replaces it.
bool writeComponent(const SimpleImageObject* image, const PixelIndex& where, int offset,
                    PyObject* component) {
    Ref integer = Ref::steal(PyNumber_Long(component));
    if (!integer) {
        return false;
    }
    // Reducing modulo 2**64 first keeps the low byte, so this equals `int & 255`.
    const unsigned long long masked = PyLong_AsUnsignedLongLongMask(integer.get()) & 255u;
    if (masked == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    Ref pixels = Ref::borrow(image->objects[kPixels]);
    if (unsigned char* byte = directByte(pixels.get(), where, offset)) {
        *byte = static_cast<unsigned char>(masked);
        return true;
    }
    Ref index = indexPlus(where, offset);
    if (!index) {
        return false;
    }
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(masked));
    if (!value) {
        return false;
    }
    return PyObject_SetItem(pixels.get(), index.get(), value.get()) == 0;
}

PyObject* getPixel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    PixelIndex where;
    if (!py::bind(kGetPixel, args, nargs, kwnames, bound) ||
        !locatePixel(asImage(self), bound[0], where)) {
        return nullptr;
    }
    Ref pixels = Ref::borrow(asImage(self)->objects[kPixels]);
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
        if (!writeComponent(asImage(self), where, c, rgb[c].get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef getPixelMethod() { return py::methodRow<kGetPixel, getPixel>(); }
PyMethodDef putPixelMethod() { return py::methodRow<kPutPixel, putPixel>(); }

}  // namespace image
