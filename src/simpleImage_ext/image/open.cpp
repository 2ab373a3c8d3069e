#include "image/open.hpp"

#include <cstring>
#include <optional>
#include <string_view>

#include "bindings/bmp/decoder.hpp"
#include "bindings/png/decoder.hpp"
#include "capi/arguments.hpp"
#include "capi/bytes.hpp"
#include "capi/context.hpp"
#include "capi/conversions.hpp"
#include "capi/ref.hpp"
#include "capi/stream.hpp"
#include "image/simple_image.hpp"
#include "module/decoded_image.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "png/format.hpp"

namespace image {
namespace {

using py::DecodedImage;
using py::Ref;

constexpr const char* kUnsupportedFormat = "Unsupported image format";
constexpr const char* kUnsupportedSource = "source must be a file path or raw bytes";
constexpr const char* kNotAnImage = "Cannot convert %.200s to %.200s";
// What Python says when the `with` block that should have bound the decoded
// values was left through a suppressed exception.
constexpr const char* kUnboundWidth =
    "cannot access local variable 'width' where it is not associated with a value";
constexpr const char* kOpenedLine = "[SimpleImage] Opened image: %Ux%U, channels=%U";

constexpr py::Declaration<1> kOpen{"open", py::Receiver::type, {"source"}, 1};
constexpr py::Declaration<1> kStreamToImage{
    "_streamToImage", py::Receiver::type, {"stream"}, 1};

// --- recognising the format ----------------------------------------------

// signature.startswith(PNG_SIGNATURE), with the module's signature as bound now.
int startsLikePng(PyObject* signature) {
    Ref pngSignature = module_state::global("PNG_SIGNATURE");
    if (!pngSignature) {
        return -1;
    }
    Ref startsWith = Ref::steal(PyObject_GetAttrString(signature, "startswith"));
    if (!startsWith) {
        return -1;
    }
    Ref isPng = Ref::steal(PyObject_CallOneArg(startsWith.get(), pngSignature.get()));
    if (!isPng) {
        return -1;
    }
    return PyObject_IsTrue(isPng.get());
}

// Reads the first 8 bytes at the stream's current position, rewinds to 0 and
// hands the stream to the decoder that the bytes name.
std::optional<DecodedImage> decodeByContent(PyObject* stream) {
    Ref signature = py::read(stream, 8);
    if (!signature) {
        return std::nullopt;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || !py::seek(stream, zero.get())) {
        return std::nullopt;
    }
    const int png = startsLikePng(signature.get());
    if (png < 0) {
        return std::nullopt;
    }
    if (png > 0) {
        return png::_loadPng(stream);
    }
    const int bmp = py::prefixEquals(signature.get(), 2, "BM");
    if (bmp < 0) {
        return std::nullopt;
    }
    if (bmp > 0) {
        return bmp::_loadBmp(stream);
    }
    PyErr_SetString(PyExc_ValueError, kUnsupportedFormat);
    return std::nullopt;
}

PyObject* streamToImage(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kStreamToImage, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    const std::optional<DecodedImage> decoded = decodeByContent(bound[0]);
    if (!decoded) {
        return nullptr;
    }
    return decoded->toTuple().release();
}

// --- decoding a source ---------------------------------------------------

// cls._streamToImage(stream), unpacked into the decoded image.
std::optional<DecodedImage> decodeStream(PyObject* cls, PyObject* stream) {
    Ref name = Ref::steal(PyUnicode_FromString("_streamToImage"));
    if (!name) {
        return std::nullopt;
    }
    Ref decoded = Ref::steal(PyObject_CallMethodOneArg(cls, name.get(), stream));
    if (!decoded) {
        return std::nullopt;
    }
    return DecodedImage::fromTuple(decoded.get());
}

// with open(path, "rb") as stream: decode it; the file is closed before the
// image is built.
std::optional<DecodedImage> decodeFile(PyObject* cls, PyObject* path) {
    Ref file = Ref::steal(PyObject_CallFunction(module_state::builtinOpen(), "Os", path, "rb"));
    if (!file) {
        return std::nullopt;
    }
    auto block = py::withBlock(file.get(), [cls](PyObject* stream) {
        return decodeStream(cls, stream);
    });
    if (block.outcome == py::BlockOutcome::suppressed) {
        PyErr_SetString(PyExc_UnboundLocalError, kUnboundWidth);
    }
    return std::move(block.result);
}

// Whether `cls._streamToImage(BytesIO(data))` would run nothing but this
// module's own code on exact bytes that start like a PNG: then they are decoded
// where they lie, without the stream (the byte route). `cls._streamToImage` is
// found as the class's attribute lookup would find it, without running any
// descriptor. Decided once, here: the byte route runs no Python code until it
// returns, so the names it would look up cannot change under it.
bool decodesPngDirectly(PyObject* cls, PyObject* data) {
    if (!PyBytes_CheckExact(data) || !Py_IS_TYPE(cls, &PyType_Type) ||
        !own_names::isOwnStreamToImage(reinterpret_cast<PyTypeObject*>(cls))) {
        return false;
    }
    constexpr own_names::Name kStreamNames[] = {own_names::Name::bytesIO,
                                                own_names::Name::pngSignature};
    if (!own_names::allOwn(kStreamNames) || !own_names::allOwn(png::kChunkNames)) {
        return false;
    }
    const std::string_view signature = png::kSignature;
    return static_cast<std::size_t>(PyBytes_GET_SIZE(data)) >= signature.size() &&
           std::memcmp(PyBytes_AS_STRING(data), signature.data(), signature.size()) == 0;
}

std::optional<DecodedImage> decodeBytes(PyObject* cls, PyObject* data) {
    if (decodesPngDirectly(cls, data)) {
        return png::loadPngFromBytes(data);
    }
    Ref stream = module_state::callGlobalFunction("BytesIO", data);
    if (!stream) {
        return std::nullopt;
    }
    return decodeStream(cls, stream.get());
}

// 1 for a path: a str, or an instance of the module's `Path` as bound now.
int isPath(PyObject* source) {
    Ref path = module_state::global("Path");
    if (!path) {
        return -1;
    }
    if (PyUnicode_Check(source)) {
        return 1;
    }
    return PyObject_IsInstance(source, path.get());
}

// A path (str or Path) is read from its file, bytes through an in-memory stream.
std::optional<DecodedImage> decodeSource(PyObject* cls, PyObject* source) {
    const int path = isPath(source);
    if (path < 0) {
        return std::nullopt;
    }
    if (path > 0) {
        return decodeFile(cls, source);
    }
    if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        return decodeBytes(cls, source);
    }
    PyErr_SetString(PyExc_TypeError, kUnsupportedSource);
    return std::nullopt;
}

// print("[SimpleImage] Opened image: {width}x{height}, channels={channels}")
bool printOpened(const DecodedImage& decoded) {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    if (!empty) {
        return false;
    }
    const Ref* shown[] = {&decoded.width, &decoded.height, &decoded.channels};
    Ref parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = Ref::steal(PyObject_Format(shown[i]->get(), empty.get()));
        if (!parts[i]) {
            return false;
        }
    }
    Ref line = Ref::steal(
        PyUnicode_FromFormat(kOpenedLine, parts[0].get(), parts[1].get(), parts[2].get()));
    if (!line) {
        return false;
    }
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(module_state::builtinPrint(), line.get())));
}

PyObject* openImage(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kOpen, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* source = bound[0];
    PyTypeObject* imageType = module_state::imageType();
    if (PyObject_TypeCheck(source, imageType)) {
        return Py_NewRef(source);
    }
    std::optional<DecodedImage> decoded = decodeSource(cls, source);
    if (!decoded) {
        return nullptr;
    }
    // The decoded values are held here alone, unless a replaced _streamToImage
    // kept some of them.
    Ref image = constructFromNewObjects(
        cls, {decoded->width.get(), decoded->height.get(), decoded->pixels.get(),
              decoded->alpha.get(), decoded->pngChunks.get(), decoded->bmpHeaderRecord.get(),
              decoded->pngFilters.get()});
    if (!image) {
        return nullptr;
    }
    // Checked before printing, so that nothing is printed for a failed open.
    if (!PyObject_TypeCheck(image.get(), imageType)) {
        PyErr_Format(PyExc_TypeError, kNotAnImage, Py_TYPE(image.get())->tp_name,
                     imageType->tp_name);
        return nullptr;
    }
    if (!printOpened(*decoded)) {
        return nullptr;
    }
    return image.release();
}

}  // namespace

PyMethodDef openMethod() { return py::methodRow<kOpen, openImage>(METH_CLASS); }

bool addStreamToImage(PyTypeObject* type) {
    // Kept for the life of the function object that points to it.
    static PyMethodDef definition = py::methodRow<kStreamToImage, streamToImage>();
    PyObject* typeObject = reinterpret_cast<PyObject*>(type);
    Ref moduleName = Ref::steal(PyObject_GetAttrString(typeObject, "__module__"));
    if (!moduleName) {
        return false;
    }
    // With the class as its `self`, the function's qualified name is the class's plus its own.
    Ref function = Ref::steal(PyCFunction_NewEx(&definition, typeObject, moduleName.get()));
    if (!function) {
        return false;
    }
    Ref method = Ref::steal(PyStaticMethod_New(function.get()));
    if (!method) {
        return false;
    }
    return PyObject_SetAttrString(typeObject, definition.ml_name, method.get()) == 0;
}

}  // namespace image
