#include "module/decoded_image.hpp"

#include <iterator>

#include "capi/conversions.hpp"

namespace py {
namespace {

// The tuple's order: the channel count stands between the pixels and the alpha
// plane, and the BMP header record before the PNG filter list.
constexpr Ref DecodedImage::*kTupleOrder[] = {
    &DecodedImage::width,  &DecodedImage::height,    &DecodedImage::pixels,
    &DecodedImage::channels, &DecodedImage::alpha,   &DecodedImage::pngChunks,
    &DecodedImage::bmpHeaderRecord, &DecodedImage::pngFilters,
};
constexpr Py_ssize_t kItems = std::size(kTupleOrder);

}  // namespace

Ref DecodedImage::toTuple() const {
    Ref tuple = Ref::steal(PyTuple_New(kItems));
    if (!tuple) {
        return {};
    }
    for (Py_ssize_t i = 0; i < kItems; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef((this->*kTupleOrder[i]).get()));
    }
    return tuple;
}

std::optional<DecodedImage> DecodedImage::fromTuple(PyObject* decoded) {
    Ref items[kItems];
    if (!unpack(decoded, items, kItems)) {
        return std::nullopt;
    }
    DecodedImage image;
    for (Py_ssize_t i = 0; i < kItems; ++i) {
        image.*kTupleOrder[i] = std::move(items[i]);
    }
    return image;
}

}  // namespace py
