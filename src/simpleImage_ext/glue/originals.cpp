#include "glue/originals.hpp"

#include <cstring>
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
    const char* attribute;
    const char* owner;  // the module that must define the original
};

// In the order of `Stock`.
constexpr StockName kStockNames[] = {
    {"zlib", "crc32", "zlib"},
};

struct Captured {
    PyObject* stock[std::size(kStockNames)] = {};
    PyTypeObject* bytesIO = nullptr;
    PyTypeObject* bufferedReader = nullptr;
    PyTypeObject* fileIO = nullptr;
    newfunc imageNew = nullptr;
    initproc imageInit = nullptr;
};

// Held for the life of the process, like the module, so that no other object
// can ever take one of these addresses.
Captured captured;

// A built-in function defined by the module named `owner`. Anything else (a
// function patched in before the module was imported) is never taken for the
// original, so its fast path stays off.
bool isBuiltinOf(PyObject* function, const char* owner) {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject* self = PyCFunction_GET_SELF(function);
    if (self == nullptr || !PyModule_CheckExact(self)) {
        return false;
    }
    const char* name = PyModule_GetName(self);
    if (name == nullptr) {
        PyErr_Clear();  // a module without a name defines no original
        return false;
    }
    return std::strcmp(name, owner) == 0;
}

bool captureStock() {
    for (std::size_t i = 0; i < std::size(kStockNames); ++i) {
        const StockName& name = kStockNames[i];
        Ref value = module_state::globalAttribute(name.global, name.attribute);
        if (!value) {
            return false;
        }
        if (isBuiltinOf(value.get(), name.owner)) {
            captured.stock[i] = value.release();
        }
    }
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

}  // namespace

bool capture(PyTypeObject* imageType) {
    captured.imageNew = imageType->tp_new;
    captured.imageInit = imageType->tp_init;
    return captureStock() && captureStreamTypes();
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
    // A stand-in for the module, however faithful, gets its own functions called.
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

bool isPlainBytesIO(PyObject* stream) {
    return captured.bytesIO != nullptr && Py_IS_TYPE(stream, captured.bytesIO);
}

bool isPlainFile(PyObject* stream) {
    if (captured.bufferedReader == nullptr || !Py_IS_TYPE(stream, captured.bufferedReader)) {
        return false;
    }
    // A member of the reader: reading it runs no Python code. A detached
    // reader gives None.
    Ref raw = Ref::steal(PyObject_GetAttrString(stream, "raw"));
    if (!raw) {
        PyErr_Clear();
        return false;
    }
    return captured.fileIO != nullptr && Py_IS_TYPE(raw.get(), captured.fileIO);
}

bool isOwnImageClass(PyObject* cls) {
    PyTypeObject* type = module_state::imageType();
    return cls == reinterpret_cast<PyObject*>(type) && Py_IS_TYPE(cls, &PyType_Type) &&
           type->tp_new == captured.imageNew && type->tp_init == captured.imageInit;
}

}  // namespace originals
