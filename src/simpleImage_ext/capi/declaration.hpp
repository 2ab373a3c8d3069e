// One declaration per published callable: its name, its parameters and how
// many of them are required. From it come both the argument binding (see
// arguments.hpp) and the text signature that `inspect.signature` reads, so the
// parameter list is written once.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace py {

// What the text signature shows before the parameters.
enum class Receiver {
    module,       // "name($module, /, ...)": a module function
    self,         // "name($self, /, ...)": an instance method
    type,         // "name($type, /, ...)": a class or static method
    constructor,  // "name(...)": the class itself, in its docstring
};

template <std::size_t N>
struct Declaration {
    const char* name;  // also the name in argument errors, as "name()"
    Receiver receiver;
    std::array<const char*, N> parameters;
    std::size_t required;  // the leading `required` parameters; the rest default to None
    const char* doc = "";  // text after the signature; the module's callables have none
};

namespace detail {

constexpr std::size_t textLength(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

struct Counter {
    std::size_t size = 0;
    constexpr void put(const char* text) { size += textLength(text); }
};

template <std::size_t Size>
struct Writer {
    std::array<char, Size> text{};
    std::size_t at = 0;
    constexpr void put(const char* piece) {
        while (*piece != '\0') {
            text[at++] = *piece++;
        }
    }
};

template <std::size_t N, class Out>
constexpr void writeSignature(const Declaration<N>& declaration, Out& out) {
    constexpr const char* receivers[] = {"$module", "$self", "$type"};
    out.put(declaration.name);
    out.put("(");
    const char* separator = "";
    if (declaration.receiver != Receiver::constructor) {
        out.put(receivers[static_cast<int>(declaration.receiver)]);
        out.put(", /");
        separator = ", ";
    }
    for (std::size_t i = 0; i < N; ++i) {
        out.put(separator);
        out.put(declaration.parameters[i]);
        if (i >= declaration.required) {
            out.put("=None");
        }
        separator = ", ";
    }
    out.put(")\n--\n\n");
    out.put(declaration.doc);
}

}  // namespace detail

// The text signature of `declaration`, followed by its doc, made by the compiler.
template <const auto& declaration>
inline constexpr auto kTextSignature = [] {
    constexpr std::size_t size = [] {
        detail::Counter counter;
        detail::writeSignature(declaration, counter);
        return counter.size;
    }();
    detail::Writer<size + 1> writer;
    detail::writeSignature(declaration, writer);
    return writer.text;
}();

// Any function of the interpreter's calling conventions, as PyMethodDef stores it.
template <class Function>
PyCFunction asCFunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The method-table row of `function`, declared by `declaration`: the vectorcall
// convention when it takes arguments, else METH_NOARGS; `extraFlags` adds
// METH_CLASS and the like.
template <const auto& declaration, auto function>
PyMethodDef methodRow(int extraFlags = 0) {
    const int convention =
        declaration.parameters.empty() ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS;
    return {declaration.name, asCFunction(function), convention | extraFlags,
            kTextSignature<declaration>.data()};
}

}  // namespace py
