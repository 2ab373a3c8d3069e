// Entry unit of the extension module `Corvane.simpleImage_ext`: the module
// definition, its create and exec steps, and the module namespace.
//
// The module is initialised once per process and lives in one interpreter:
// re-imports and reloads hand back the recorded module without running the
// body again, and a failed exec step forgets the module so that a later import
// starts afresh.
#include <Python.h>

#include "bindings/bmp/encoder.hpp"
#include "bindings/png/chunk_layer.hpp"
#include "bindings/png/chunk_writer.hpp"
#include "bindings/png/encoder.hpp"
#include "capi/ref.hpp"
#include "image/simple_image.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"
#include "png/format.hpp"

namespace {

using py::Ref;

constexpr const char* kReinitialisation =
    "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.";
constexpr const char* kQualifiedName = "Corvane.simpleImage_ext";

// Copies the attributes of the import machinery's module spec that exist.
bool copySpecAttributes(PyObject* spec, PyObject* module) {
    const struct { const char* from; const char* to; bool skipNone; } copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const auto& copy : copies) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(spec, copy.from, &value) < 0) {
            return false;
        }
        Ref held = Ref::steal(value);
        if (!held || (copy.skipNone && held.get() == Py_None)) {
            continue;
        }
        if (PyObject_SetAttrString(module, copy.to, held.get()) < 0) {
            return false;
        }
    }
    return true;
}

PyObject* createModule(PyObject* spec, PyModuleDef*) {
    if (PyObject* recorded = module_state::recordedModuleForInterpreter()) {
        return recorded;
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !copySpecAttributes(spec, module.get())) {
        return nullptr;
    }
    return module.release();
}

bool bindImported(PyObject* module, const char* moduleName, const char* attribute,
                  const char* as) {
    Ref imported = Ref::steal(PyImport_ImportModule(moduleName));
    if (!imported) {
        return false;
    }
    Ref value = imported;
    if (attribute != nullptr) {
        value = Ref::steal(PyObject_GetAttrString(imported.get(), attribute));
        if (!value) {
            return false;
        }
    }
    return PyModule_AddObjectRef(module, as, value.get()) == 0;
}

bool importStandardNames(PyObject* module) {
    return bindImported(module, "struct", nullptr, "struct") &&
           bindImported(module, "zlib", nullptr, "zlib") &&
           bindImported(module, "io", "BytesIO", "BytesIO") &&
           bindImported(module, "pathlib", "Path", "Path") &&
           bindImported(module, "typing", "List", "List") &&
           bindImported(module, "typing", "Sequence", "Sequence") &&
           bindImported(module, "typing", "Tuple", "Tuple") &&
           bindImported(module, "typing", "Union", "Union");
}

// Union[str, Path, bytes, bytearray, "SimpleImage"]: the declared type of a source for `open`.
bool addImageInput(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* unionForm = PyDict_GetItemString(dict, "Union");
    PyObject* path = PyDict_GetItemString(dict, "Path");
    Ref members = Ref::steal(Py_BuildValue("(OOOOs)", &PyUnicode_Type, path, &PyBytes_Type,
                                           &PyByteArray_Type, "SimpleImage"));
    if (!members) {
        return false;
    }
    Ref imageInput = Ref::steal(PyObject_GetItem(unionForm, members.get()));
    return imageInput && PyModule_AddObjectRef(module, "ImageInput", imageInput.get()) == 0;
}

bool addPngSignature(PyObject* module) {
    Ref signature = Ref::steal(PyBytes_FromStringAndSize(
        png::kSignature.data(), static_cast<Py_ssize_t>(png::kSignature.size())));
    return signature && PyModule_AddObjectRef(module, "PNG_SIGNATURE", signature.get()) == 0;
}

bool addTestDict(PyObject* module) {
    Ref tests = Ref::steal(PyDict_New());
    return tests && PyModule_AddObjectRef(module, "__test__", tests.get()) == 0;
}

// The module functions, in the order in which they are published. Each carries
// only a text signature, for `inspect.signature`, and no docstring.
bool addModuleFunctions(PyObject* module) {
    static PyMethodDef functions[] = {
        png::readChunkMethod(),
        png::makeChunkMethod(),
        png::writePngMethod(),
        png::splitIdatPayloadMethod(),
        png::writePngWithChunksMethod(),
        bmp::writeBmpMethod(),
        {nullptr, nullptr, 0, nullptr},
    };
    return PyModule_AddFunctions(module, functions) == 0;
}

// Makes the module importable under its package name even when it was loaded
// under another; `added` tells whether this call put the entry there.
bool registerInSysModules(PyObject* module, bool& added) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = nullptr;
    if (PyDict_GetItemStringRef(modules, kQualifiedName, &existing) < 0) {
        return false;
    }
    Ref held = Ref::steal(existing);
    added = !held;
    return held || PyDict_SetItemString(modules, kQualifiedName, module) == 0;
}

bool runBody(PyObject* module) {
    return module_state::captureBuiltins() && image::addSimpleImageType(module) &&
           importStandardNames(module) && addPngSignature(module) && addImageInput(module) &&
           addModuleFunctions(module) && addTestDict(module) &&
           own_names::capture(module_state::imageType());
}

int execModule(PyObject* module) {
    if (module_state::hasRecord()) {
        if (module_state::isRecorded(module)) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, kReinitialisation);
        return -1;
    }
    module_state::record(module);
    bool registered = false;
    if (registerInSysModules(module, registered) && runBody(module)) {
        return 0;
    }
    module_state::forget();
    if (registered) {
        PyObject* raised = PyErr_GetRaisedException();
        if (PyDict_DelItemString(PyImport_GetModuleDict(), kQualifiedName) < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(raised);
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init Corvane.simpleImage_ext");
    }
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "simpleImage_ext",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // functions are added by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_simpleImage_ext() { return PyModuleDef_Init(&definition); }
