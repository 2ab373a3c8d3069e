#include "capi/conversions.hpp"

#include <limits>

namespace py {
namespace {

constexpr const char* kIntegerRequired = "an integer is required";

Ref integerValue(PyObject* value) {
    if (PyLong_Check(value)) {
        return Ref::borrow(value);
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, kIntegerRequired);
        return {};
    }
    Ref result = Ref::steal(number->nb_int(value));
    if (result && !PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return {};
    }
    return result;
}

void addSubclassNote(PyTypeObject* type) {
    PyObject* raised = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of built-in types are refused here: pass a plain %s, for example "
        "%s(value).",
        type->tp_name, type->tp_name));
    Ref result;
    if (note) {
        result = Ref::steal(PyObject_CallMethod(raised, "add_note", "O", note.get()));
    }
    if (!note || !result) {
        // The note is a courtesy: report the refusal itself, not a failure to annotate it.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace

bool toInt32(PyObject* value, std::int32_t& out) {
    Ref integer = integerValue(value);
    if (!integer) {
        return false;
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (result == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || result < std::numeric_limits<std::int32_t>::min() ||
        result > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, kIntTooLarge);
        return false;
    }
    out = static_cast<std::int32_t>(result);
    return true;
}

bool requireExactType(PyObject* value, PyTypeObject* type, const char* argument,
                      NoneAllowed noneAllowed, SubclassNote note) {
    if (Py_IS_TYPE(value, type) || (value == Py_None && noneAllowed == NoneAllowed::yes)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument, type->tp_name, Py_TYPE(value)->tp_name);
    if (note == SubclassNote::yes && PyObject_TypeCheck(value, type)) {
        addSubclassNote(type);
    }
    return false;
}

Ref lengthOf(PyObject* object) {
    const Py_ssize_t size = PyObject_Length(object);
    if (size < 0) {
        return {};
    }
    return Ref::steal(PyLong_FromSsize_t(size));
}

void raiseExpectedType(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected,
                 Py_TYPE(value)->tp_name);
}

namespace {

void raiseTooMany(Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
}

void raiseTooFew(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
}

}  // namespace

bool unpack(PyObject* iterable, Ref* targets, Py_ssize_t count) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size > count) {
            raiseTooMany(count);
            return false;
        }
        if (size < count) {
            raiseTooFew(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < count; ++i) {
            targets[i] = Ref::borrow(items[i]);
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!targets[i]) {
            if (!PyErr_Occurred()) {
                raiseTooFew(i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raiseTooMany(count);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace py
