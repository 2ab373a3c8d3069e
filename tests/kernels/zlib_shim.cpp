// Preloaded into an interpreter (LD_PRELOAD), this library counts the streams
// that its zlib starts compressing, for the tests to read through
// compressedStreams(). Built with SHIM_DEFAULT_LEVEL, it also makes the
// default level that one: an interpreter whose zlib.compress writes other
// streams than zlib 1.2.13's level 6, as another zlib would.

#include <dlfcn.h>
#include <zlib.h>

namespace {

int streams = 0;

}  // namespace

extern "C" {

int deflateInit2_(z_streamp stream, int level, int method, int windowBits, int memLevel,
                  int strategy, const char* version, int size) {
    using Init = int (*)(z_streamp, int, int, int, int, int, const char*, int);
    // The interpreter loads zlib privately, for its zlib module: RTLD_NEXT
    // would not find it, the library by its name does.
    static const auto next = reinterpret_cast<Init>(
        dlsym(dlopen("libz.so.1", RTLD_LAZY), "deflateInit2_"));
#if defined(SHIM_DEFAULT_LEVEL)
    if (level == Z_DEFAULT_COMPRESSION) {
        level = SHIM_DEFAULT_LEVEL;
    }
#endif
    ++streams;
    return next(stream, level, method, windowBits, memLevel, strategy, version, size);
}

int compressedStreams() { return streams; }

}  // extern "C"
