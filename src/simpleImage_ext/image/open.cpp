#include "image/open.hpp"

#include "bmp/decoder.hpp"
#include "glue/arguments.hpp"
#include "glue/bytes.hpp"
#include "glue/context.hpp"
#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/ref.hpp"
#include "glue/stream.hpp"
#include "image/simple_image.hpp"
#include "png/decoder.hpp"

#include <array>
#include <optional>

namespace image {
namespace {

using py::Ref;

constexpr const char* kUnsupportedFormat = "Unsupported image format";
constexpr const char* kUnsupportedSource = "source must be a file path or raw bytes";
constexpr const char* kNotAnImage = "Cannot convert %.200s to %.200s";
// What Python says when the `with` block that should have bound the decoded
// values was left through a suppressed exception.
constexpr const char* kUnboundWidth =
    "cannot access local variable 'width' where it is not associated with a value";
constexpr const char* kOpenedLine = "[SimpleImage] Opened image: %Ux%U, channels=%U";

constexpr py::Signature<1> kOpen{"open", {"source"}, 1};
constexpr py::Signature<1> kStreamToImage{"_streamToImage", {"stream"}, 1};

// --- recognising the format ----------------------------------------------

// Reads the first 8 bytes at the stream's current position, rewinds to 0 and
// hands the stream to the decoder that the bytes name.
Ref streamToImage(PyObject* stream) {
    Ref signature = py::read(stream, 8);
    Ref zero = signature ? Ref::steal(PyLong_FromLong(0)) : Ref{};
    Ref pngSignature =
        zero && py::seek(stream, zero.get()) ? module_record::global("PNG_SIGNATURE") : Ref{};
    Ref startsWith = pngSignature
                         ? Ref::steal(PyObject_GetAttrString(signature.get(), "startswith"))
                         : Ref{};
    Ref isPng = startsWith ? Ref::steal(PyObject_CallOneArg(startsWith.get(), pngSignature.get()))
                           : Ref{};
    const int png = isPng ? PyObject_IsTrue(isPng.get()) : -1;
    if (png != 0) {
        return png > 0 ? png::_loadPng(stream) : Ref{};
    }
    const int bmp = py::prefixEquals(signature.get(), 2, "BM");
    if (bmp != 0) {
        return bmp > 0 ? bmp::_loadBmp(stream) : Ref{};
    }
    PyErr_SetString(PyExc_ValueError, kUnsupportedFormat);
    return {};
}

PyObject* streamToImageMethod(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kStreamToImage, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return streamToImage(bound[0]).release();
}

PyMethodDef streamToImageDefinition = {
    "_streamToImage",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(streamToImageMethod)),
    METH_FASTCALL | METH_KEYWORDS,
    "_streamToImage($type, /, stream)\n--\n\n",
};

// --- decoding a source ---------------------------------------------------

// The decoded-image tuple, unpacked.
enum Decoded { kWidth, kHeight, kPixels, kChannels, kAlpha, kChunks, kBmpMeta, kPngFilters };
constexpr Py_ssize_t kDecodedItems = 8;
using DecodedImage = std::optional<std::array<Ref, kDecodedItems>>;

// cls._streamToImage(stream), unpacked into the eight decoded values.
DecodedImage decodeStream(PyObject* cls, PyObject* stream) {
    Ref name = Ref::steal(PyUnicode_FromString("_streamToImage"));
    Ref decoded = name ? Ref::steal(PyObject_CallMethodOneArg(cls, name.get(), stream)) : Ref{};
    std::array<Ref, kDecodedItems> values;
    if (!decoded || !py::unpack(decoded.get(), values.data(), kDecodedItems)) {
        return std::nullopt;
    }
    return values;
}

// with open(path, "rb") as stream: decode it; the file is closed before the
// image is built.
DecodedImage decodeFile(PyObject* cls, PyObject* path) {
    Ref file = Ref::steal(
        PyObject_CallFunction(module_record::builtinOpen(), "Os", path, "rb"));
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

DecodedImage decodeBytes(PyObject* cls, PyObject* data) {
    Ref bytesIO = module_record::global("BytesIO");
    Ref stream = bytesIO ? Ref::steal(PyObject_CallOneArg(bytesIO.get(), data)) : Ref{};
    return stream ? decodeStream(cls, stream.get()) : std::nullopt;
}

// A path (str or Path) is read from its file, bytes through an in-memory stream.
DecodedImage decodeSource(PyObject* cls, PyObject* source) {
    Ref path = module_record::global("Path");
    const int isPath = !path                    ? -1
                       : PyUnicode_Check(source) ? 1
                                                 : PyObject_IsInstance(source, path.get());
    if (isPath != 0) {
        return isPath > 0 ? decodeFile(cls, source) : std::nullopt;
    }
    if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        return decodeBytes(cls, source);
    }
    PyErr_SetString(PyExc_TypeError, kUnsupportedSource);
    return std::nullopt;
}

// print("[SimpleImage] Opened image: {width}x{height}, channels={channels}")
bool printOpened(const std::array<Ref, kDecodedItems>& decoded) {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref parts[3];
    const Decoded shown[3] = {kWidth, kHeight, kChannels};
    for (int i = 0; i < 3; ++i) {
        parts[i] = empty ? Ref::steal(PyObject_Format(decoded[shown[i]].get(), empty.get()))
                         : Ref{};
        if (!parts[i]) {
            return false;
        }
    }
    Ref line = Ref::steal(
        PyUnicode_FromFormat(kOpenedLine, parts[0].get(), parts[1].get(), parts[2].get()));
    return line && Ref::steal(PyObject_CallOneArg(module_record::builtinPrint(), line.get()));
}

}  // namespace

PyObject* openImage(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Arguments<1> bound;
    if (!py::bind(kOpen, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* source = bound[0];
    PyTypeObject* imageType = module_record::imageType();
    if (PyObject_TypeCheck(source, imageType)) {
        return Py_NewRef(source);
    }
    DecodedImage decoded = decodeSource(cls, source);
    if (!decoded) {
        return nullptr;
    }
    const auto& values = *decoded;
    // The decoded values are held here alone, unless a replaced _streamToImage
    // kept some of them.
    Ref image = constructFromNewObjects(
        cls, {values[kWidth].get(), values[kHeight].get(), values[kPixels].get(),
              values[kAlpha].get(), values[kChunks].get(), values[kBmpMeta].get(),
              values[kPngFilters].get()});
    if (!image) {
        return nullptr;
    }
    // Checked before printing, so that nothing is printed for a failed open.
    if (!PyObject_TypeCheck(image.get(), imageType)) {
        PyErr_Format(PyExc_TypeError, kNotAnImage, Py_TYPE(image.get())->tp_name,
                     imageType->tp_name);
        return nullptr;
    }
    return printOpened(values) ? image.release() : nullptr;
}

bool addStreamToImage(PyTypeObject* type) {
    PyObject* typeObject = reinterpret_cast<PyObject*>(type);
    Ref moduleName = Ref::steal(PyObject_GetAttrString(typeObject, "__module__"));
    // With the class as its `self`, the function's qualified name is the class's plus its own.
    Ref function = moduleName ? Ref::steal(PyCFunction_NewEx(&streamToImageDefinition, typeObject,
                                                             moduleName.get()))
                              : Ref{};
    Ref method = function ? Ref::steal(PyStaticMethod_New(function.get())) : Ref{};
    return method &&
           PyObject_SetAttrString(typeObject, streamToImageDefinition.ml_name, method.get()) == 0;
}

}  // namespace image
