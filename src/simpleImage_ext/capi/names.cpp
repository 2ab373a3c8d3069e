#include "capi/names.hpp"

#include <utility>
#include <vector>

namespace py {

PyObject* name(const char* literal) {
    // A few dozen names at most: a linear scan over their addresses is quickest.
    static std::vector<std::pair<const char*, PyObject*>> made;
    for (const auto& [text, object] : made) {
        if (text == literal) {
            return object;
        }
    }
    PyObject* object = PyUnicode_InternFromString(literal);
    if (object != nullptr) {
        made.emplace_back(literal, object);
    }
    return object;
}

}  // namespace py
