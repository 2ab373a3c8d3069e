#include "module/own_names.hpp"

#include <cstring>
#include <iterator>

#include "capi/names.hpp"
#include "capi/ref.hpp"
#include "capi/stream.hpp"
#include "module/module_state.hpp"

namespace own_names {
namespace {

using py::Ref;

struct OwnName {
    const char* global;
    const char* attribute;  // null for the global itself
    const char* owner;      // for an attribute, the module that must define it
};

// In the order of `Name`.
constexpr OwnName kOwnNames[] = {
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
    PyObject* own[std::size(kOwnNames)] = {};
    PyObject* zlibDecompressobj = nullptr;
    PyObject* zlibError = nullptr;
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
// module's own, so its fast path stays off.
bool isBuiltinOf(PyObject* function, const char* owner) {
    PyObject* module = definingModule(function);
    if (module == nullptr) {
        return false;
    }
    const char* name = PyModule_GetName(module);
    if (name == nullptr) {
        PyErr_Clear();  // a module without a name defines no own function
        return false;
    }
    return std::strcmp(name, owner) == 0;
}

Ref lookUp(const OwnName& name) {
    if (name.attribute == nullptr) {
        return module_state::global(name.global);
    }
    return module_state::globalAttribute(name.global, name.attribute);
}

bool captureOwnNames() {
    for (std::size_t i = 0; i < std::size(kOwnNames); ++i) {
        const OwnName& name = kOwnNames[i];
        Ref value = lookUp(name);
        if (!value) {
            return false;
        }
        // The module's own globals were bound just now by the exec step.
        if (name.attribute == nullptr || isBuiltinOf(value.get(), name.owner)) {
            captured.own[i] = value.release();
        }
    }
    return true;
}

// decompressobj and error of the module that defines the captured decompress.
bool captureZlib() {
    PyObject* decompress = captured.own[static_cast<std::size_t>(Name::zlibDecompress)];
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
        Py_CLEAR(captured.own[static_cast<std::size_t>(Name::zlibDecompress)]);
        return true;
    }
    captured.zlibDecompressobj = decompressobj.release();
    captured.zlibError = error.release();
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

}  // namespace

bool capture(PyTypeObject* imageType) {
    return captureOwnNames() && captureZlib() && py::captureStreamTypes() &&
           captureImageClass(imageType);
}

int isOwn(Name which) {
    const auto index = static_cast<std::size_t>(which);
    const OwnName& name = kOwnNames[index];
    if (captured.own[index] == nullptr) {
        return 0;
    }
    Ref global = module_state::global(name.global);
    if (!global) {
        return -1;
    }
    if (name.attribute == nullptr) {
        return global.get() == captured.own[index];
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
    return current.get() == captured.own[index];
}

bool allOwn(std::span<const Name> names) {
    for (const Name name : names) {
        const int own = isOwn(name);
        if (own <= 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

PyObject* zlibDecompressobj() { return captured.zlibDecompressobj; }
PyObject* zlibError() { return captured.zlibError; }

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

}  // namespace own_names
