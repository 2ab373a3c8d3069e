#include "glue/originals.hpp"

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "glue/module_state.hpp"
#include "glue/names.hpp"
#include "glue/ref.hpp"

namespace originals {
namespace {

using py::Ref;

struct StockName {
    const char* global;
    const char* attribute;  // null for the global itself
    const char* owner;      // for an attribute, the module that must define it
};

// In the order of `Stock`.
constexpr StockName kStockNames[] = {
    {"zlib", "crc32", "zlib"},
    {"zlib", "decompress", "zlib"},
    {"zlib", "compress", "zlib"},
    {"struct", "pack", "_struct"},
    {"struct", "unpack", "_struct"},
    {"_readChunk", nullptr, nullptr},
    {"BytesIO", nullptr, nullptr},
    {"PNG_SIGNATURE", nullptr, nullptr},
};

struct Captured {
    PyObject* stock[std::size(kStockNames)] = {};
    PyObject* zlibDecompressobj = nullptr;
    PyObject* zlibError = nullptr;
    PyTypeObject* bytesIO = nullptr;
    PyTypeObject* bufferedReader = nullptr;
    PyTypeObject* fileIO = nullptr;
    PyObject* streamToImage = nullptr;
    newfunc imageNew = nullptr;
    initproc imageInit = nullptr;
};

// Held for the life of the process, like the module, so that no other object
// can ever take one of these addresses.
Captured captured;

// The module that defines the built-in function `function`, if it is one.
PyObject* definingModule(PyObject* function) {
    if (!PyCFunction_Check(function)) {
        return nullptr;
    }
    PyObject* self = PyCFunction_GET_SELF(function);
    return self != nullptr && PyModule_CheckExact(self) ? self : nullptr;
}

// A built-in function defined by the module named `owner`. Anything else (a
// function patched in before the module was imported) is never taken for the
// original, so its fast path stays off.
bool isBuiltinOf(PyObject* function, const char* owner) {
    PyObject* module = definingModule(function);
    if (module == nullptr) {
        return false;
    }
    const char* name = PyModule_GetName(module);
    if (name == nullptr) {
        PyErr_Clear();  // a module without a name defines no original
        return false;
    }
    return std::strcmp(name, owner) == 0;
}

Ref lookUp(const StockName& name) {
    if (name.attribute == nullptr) {
        return module_state::global(name.global);
    }
    return module_state::globalAttribute(name.global, name.attribute);
}

bool captureStock() {
    for (std::size_t i = 0; i < std::size(kStockNames); ++i) {
        const StockName& name = kStockNames[i];
        Ref value = lookUp(name);
        if (!value) {
            return false;
        }
        // The module's own globals were bound just now by the exec step.
        if (name.attribute == nullptr || isBuiltinOf(value.get(), name.owner)) {
            captured.stock[i] = value.release();
        }
    }
    return true;
}

// decompressobj and error of the module that defines the captured decompress.
bool captureZlib() {
    PyObject* decompress = captured.stock[static_cast<std::size_t>(Stock::zlibDecompress)];
    if (decompress == nullptr) {
        return true;
    }
    PyObject* zlib = definingModule(decompress);
    Ref decompressobj = Ref::steal(PyObject_GetAttrString(zlib, "decompressobj"));
    Ref error = Ref::steal(PyObject_GetAttrString(zlib, "error"));
    if (!decompressobj || !error) {
        return false;
    }
    if (!isBuiltinOf(decompressobj.get(), "zlib") || !PyExceptionClass_Check(error.get())) {
        Py_CLEAR(captured.stock[static_cast<std::size_t>(Stock::zlibDecompress)]);
        return true;
    }
    captured.zlibDecompressobj = decompressobj.release();
    captured.zlibError = error.release();
    return true;
}

// The stream types of the interpreter's `_io` whose instances the decoders can
// read without running Python code.
bool captureStreamTypes() {
    Ref io = Ref::steal(PyImport_ImportModule("_io"));
    if (!io) {
        return false;
    }
    const std::pair<const char*, PyTypeObject**> types[] = {
        {"BytesIO", &captured.bytesIO},
        {"BufferedReader", &captured.bufferedReader},
        {"FileIO", &captured.fileIO},
    };
    for (auto [name, slot] : types) {
        Ref type = Ref::steal(PyObject_GetAttrString(io.get(), name));
        if (!type) {
            return false;
        }
        if (PyType_Check(type.get())) {
            *slot = reinterpret_cast<PyTypeObject*>(type.release());
        }
    }
    return true;
}

bool captureImageClass(PyTypeObject* imageType) {
    captured.imageNew = imageType->tp_new;
    captured.imageInit = imageType->tp_init;
    PyObject* name = py::name("_streamToImage");
    if (name == nullptr) {
        return false;
    }
    captured.streamToImage = Py_XNewRef(_PyType_Lookup(imageType, name));
    return true;
}

// Whether an attribute set on `object` itself may stand in front of one of
// its type's methods `names`: the instance dictionary holds one of them, or a
// key that is not an exact str, whose comparison in a lookup could run Python
// code.
bool shadowsAny(PyObject* object, std::initializer_list<const char*> names) {
    PyObject** slot = _PyObject_GetDictPtr(object);
    PyObject* dict = slot != nullptr ? *slot : nullptr;
    if (dict == nullptr) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return true;
        }
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool capture(PyTypeObject* imageType) {
    return captureStock() && captureZlib() && captureStreamTypes() &&
           captureImageClass(imageType);
}

int isStock(Stock which) {
    const auto index = static_cast<std::size_t>(which);
    const StockName& name = kStockNames[index];
    if (captured.stock[index] == nullptr) {
        return 0;
    }
    Ref global = module_state::global(name.global);
    if (!global) {
        return -1;
    }
    if (name.attribute == nullptr) {
        return global.get() == captured.stock[index];
    }
    if (!PyModule_CheckExact(global.get())) {
        return 0;
    }
    PyObject* attribute = py::name(name.attribute);
    if (attribute == nullptr) {
        return -1;
    }
    Ref current = Ref::steal(PyObject_GetAttr(global.get(), attribute));
    if (!current) {
        return -1;
    }
    return current.get() == captured.stock[index];
}

PyObject* zlibDecompressobj() { return captured.zlibDecompressobj; }
PyObject* zlibError() { return captured.zlibError; }

bool isPlainBytesIO(PyObject* stream) {
    return captured.bytesIO != nullptr && Py_IS_TYPE(stream, captured.bytesIO) &&
           !shadowsAny(stream, {"read", "seek", "tell", "getvalue"});
}

bool isPlainFile(PyObject* stream) {
    if (captured.bufferedReader == nullptr || !Py_IS_TYPE(stream, captured.bufferedReader) ||
        shadowsAny(stream, {"read", "seek", "tell"})) {
        return false;
    }
    // A member of the reader: reading it runs no Python code. A detached
    // reader gives None.
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        PyErr_Clear();
        return false;
    }
    // The reader calls these of its file by name.
    return captured.fileIO != nullptr && Py_IS_TYPE(raw.get(), captured.fileIO) &&
           !shadowsAny(raw.get(), {"readinto", "readall", "read", "seek", "tell", "fileno"});
}

bool isOwnImageClass(PyObject* cls) {
    PyTypeObject* type = module_state::imageType();
    return cls == reinterpret_cast<PyObject*>(type) && Py_IS_TYPE(cls, &PyType_Type) &&
           type->tp_new == captured.imageNew && type->tp_init == captured.imageInit;
}

bool isOwnStreamToImage(PyTypeObject* type) {
    PyObject* name = py::name("_streamToImage");
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    // The static method as it stands in the class dictionary, or null.
    return captured.streamToImage != nullptr && _PyType_Lookup(type, name) == captured.streamToImage;
}

}  // namespace originals
