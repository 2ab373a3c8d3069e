#include "module/module_state.hpp"

#include <cstdint>

#include "capi/names.hpp"

namespace module_state {
namespace {

constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one interpreter "
    "per process.";

constexpr const char* kNotInitialised = "Corvane.simpleImage_ext is not initialised";

struct State {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;
    PyObject* open = nullptr;
    PyObject* print = nullptr;
    PyTypeObject* imageType = nullptr;
};

State state;

py::Ref builtin(const char* name) {
    PyObject* builtins = PyEval_GetFrameBuiltins();
    if (builtins == nullptr) {
        return {};
    }
    py::Ref dict = py::Ref::steal(builtins);
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(dict.get(), name, &value) < 0) {
        return {};
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return py::Ref::steal(value);
}

}  // namespace

PyObject* recordedModuleForInterpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) {
        return nullptr;
    }
    if (state.interpreter == -1) {
        state.interpreter = current;
    } else if (state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return nullptr;
    }
    return Py_XNewRef(state.module);
}

bool isRecorded(PyObject* module) { return state.module == module; }
bool hasRecord() { return state.module != nullptr; }
void record(PyObject* module) { state.module = Py_NewRef(module); }
void forget() { Py_CLEAR(state.module); }

bool captureBuiltins() {
    py::Ref open = builtin("open");
    if (!open) {
        return false;
    }
    py::Ref print = builtin("print");
    if (!print) {
        return false;
    }
    // Held for the life of the process, like the module itself.
    Py_XSETREF(state.open, open.release());
    Py_XSETREF(state.print, print.release());
    return true;
}

PyObject* builtinOpen() { return state.open; }
PyObject* builtinPrint() { return state.print; }

PyObject* namespaceDict() {
    if (state.module == nullptr) {
        PyErr_SetString(PyExc_SystemError, kNotInitialised);
        return nullptr;
    }
    return PyModule_GetDict(state.module);
}

py::Ref global(const char* name) {
    PyObject* globals = namespaceDict();
    if (globals == nullptr) {
        return {};
    }
    PyObject* key = py::name(name);
    PyObject* value = nullptr;
    if (key == nullptr || PyDict_GetItemRef(globals, key, &value) < 0) {
        return {};
    }
    if (value != nullptr) {
        return py::Ref::steal(value);
    }
    return builtin(name);
}

py::Ref globalAttribute(const char* name, const char* attribute) {
    py::Ref target = global(name);
    PyObject* key = py::name(attribute);
    if (!target || key == nullptr) {
        return {};
    }
    return py::Ref::steal(PyObject_GetAttr(target.get(), key));
}

PyTypeObject* imageType() { return state.imageType; }

void recordImageType(PyTypeObject* type) {
    Py_XSETREF(state.imageType, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
}

}  // namespace module_state
