#include "bindings/png/image_data_compression.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "capi/bytes.hpp"
#include "kernels/deflate/round_trip.hpp"
#include "kernels/deflate/self_check.hpp"
#include "kernels/deflate/zlib_stream.hpp"
#include "module/module_state.hpp"
#include "module/own_names.hpp"

namespace png {
namespace {

using py::Ref;

// Shorter streams are left to zlib.compress: for them the kernel's fixed costs
// (its larger tables, the check) outweigh what its faster search saves
// (measured on photos of 32 x 32 to 192 x 192 pixels).
constexpr Py_ssize_t kSmallestKernelStream = 32 * 1024;

// The kernel's stream of `stream`, checked by inflating it again; null without
// an exception when the kernel does not make one or the check fails.
Ref compressWithKernel(PyObject* stream) {
    const std::span<const std::uint8_t> in = py::bytesSpan(stream);
    const std::size_t capacity = kernels::deflate::streamCapacity(in.size());
    Ref compressed = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!compressed) {
        PyErr_Clear();  // zlib.compress gets its chance with the memory there is
        return {};
    }
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(compressed.get())),
                                      capacity);
    std::size_t size = 0;
    Py_BEGIN_ALLOW_THREADS
    size = kernels::deflate::compressChecked(in, out);
    Py_END_ALLOW_THREADS
    if (size == 0) {
        return {};
    }
    PyObject* resized = compressed.release();
    if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(size)) < 0) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(resized);
}

// Whether the kernel writes what the interpreter's zlib.compress writes, asked
// once per process (under the interpreter's lock) with the module's own function
// bound: 1, 0, or -1 with an exception set.
int kernelAgreesWithZlib() {
    static int answer = -1;  // unknown
    if (answer >= 0) {
        return answer;
    }
    if (kernels::deflate::checkingInflaterName() == nullptr) {
        answer = 0;  // no stream of the kernel's could be checked
        return answer;
    }
    for (const std::vector<std::uint8_t>& sample : kernels::deflate::selfCheckSamples()) {
        Ref input = py::bytesFrom(sample);
        if (!input) {
            return -1;
        }
        Ref expected = module_state::callGlobal("zlib", "compress", input.get());
        if (!expected) {
            return -1;
        }
        Ref ours = compressWithKernel(input.get());
        if (!ours || !PyBytes_CheckExact(expected.get()) ||
            PyBytes_GET_SIZE(ours.get()) != PyBytes_GET_SIZE(expected.get()) ||
            std::memcmp(PyBytes_AS_STRING(ours.get()), PyBytes_AS_STRING(expected.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(ours.get()))) != 0) {
            answer = 0;
            return answer;
        }
    }
    answer = 1;
    return answer;
}

// 1 when the kernel may stand in for zlib.compress now, 0 when not, -1 with
// an exception set.
int kernelStandsIn() {
    const int own = own_names::isOwn(own_names::Name::zlibCompress);
    if (own != 1) {
        return own;
    }
    return kernelAgreesWithZlib();
}

}  // namespace

Ref compressImageData(PyObject* stream) {
    const int standsIn = PyBytes_GET_SIZE(stream) < kSmallestKernelStream ? 0 : kernelStandsIn();
    if (standsIn < 0) {
        return {};
    }
    Ref compressed;
    if (standsIn == 1) {
        compressed = compressWithKernel(stream);
    }
    if (!compressed) {
        compressed = module_state::callGlobal("zlib", "compress", stream);
    }
    if (!compressed || PyErr_CheckSignals() < 0) {
        return {};
    }
    return compressed;
}

}  // namespace png
