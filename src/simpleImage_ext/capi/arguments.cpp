#include "capi/arguments.hpp"

#include "capi/ref.hpp"

#include <vector>

namespace py {
namespace {

void raiseCountError(const char* function, Py_ssize_t count, Py_ssize_t required,
                     Py_ssize_t given) {
    const bool tooFew = given < required;
    const Py_ssize_t expected = tooFew ? required : count;
    const char* bound = required == count ? "exactly" : (tooFew ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                 bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameterIndex(PyObject* keyword, const char* const* parameters,
                          Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_EqualToUTF8(keyword, parameters[i])) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool bindArguments(const char* function, const char* const* parameters, Py_ssize_t count,
                   Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
    if (nargs > count) {
        raiseCountError(function, count, required, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keywordValues = args + nargs;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        const Py_ssize_t index =
            parameterIndex(PyTuple_GET_ITEM(kwnames, k), parameters, count);
        if (index >= nargs) {
            bound[index] = keywordValues[k];
        }
    }
    // A missing required argument is reported before any bad keyword, counting
    // the arguments that precede it.
    for (Py_ssize_t i = nargs; i < required; ++i) {
        if (bound[i] == nullptr) {
            raiseCountError(function, count, required, i);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameterIndex(keyword, parameters, count);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, keyword);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", function,
                         keyword);
            return false;
        }
    }
    return true;
}

bool bindTupleAndDict(const char* function, const char* const* parameters, Py_ssize_t count,
                      Py_ssize_t required, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        flat[i] = PyTuple_GET_ITEM(args, i);
    }
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) {
            return false;
        }
        Py_ssize_t position = 0;
        Py_ssize_t k = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
                return false;
            }
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    // The dict and tuple keep every value alive for the duration of the call.
    return bindArguments(function, parameters, count, required, flat.data(), nargs,
                         kwnames.get(), bound);
}

}  // namespace py
