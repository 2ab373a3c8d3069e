# The pure C++ kernel library, built from src/simpleImage_ext/kernels/ alone: no
# Python.h, so the extension, the kernel checks and the kernel benchmark all
# build it from here. On x86-64 each vector level is a unit of its own,
# compiled with that level's flags; which level runs is decided at run time, so
# the library still runs on any x86-64 processor.
include(${CMAKE_CURRENT_LIST_DIR}/instrumentation.cmake)

get_filename_component(KERNELS_INCLUDE_DIR "${CMAKE_CURRENT_LIST_DIR}/../src/simpleImage_ext" ABSOLUTE)
set(KERNELS_DIR ${KERNELS_INCLUDE_DIR}/kernels)

add_library(simpleimage_kernels STATIC
    ${KERNELS_DIR}/adler32.cpp
    ${KERNELS_DIR}/crc32.cpp
    ${KERNELS_DIR}/filters.cpp
    ${KERNELS_DIR}/inflate.cpp
    ${KERNELS_DIR}/inflate_tables.cpp
    ${KERNELS_DIR}/levels.cpp
    ${KERNELS_DIR}/pixel_rows.cpp
    ${KERNELS_DIR}/portable.cpp
    ${KERNELS_DIR}/reference.cpp
    ${KERNELS_DIR}/scanline_decoder.cpp
    ${KERNELS_DIR}/scanline_encoder.cpp
    ${KERNELS_DIR}/thread_pool.cpp
    ${KERNELS_DIR}/deflate/block.cpp
    ${KERNELS_DIR}/deflate/huffman.cpp
    ${KERNELS_DIR}/deflate/matcher.cpp
    ${KERNELS_DIR}/deflate/pipeline.cpp
    ${KERNELS_DIR}/deflate/round_trip.cpp
    ${KERNELS_DIR}/deflate/segments.cpp
    ${KERNELS_DIR}/deflate/self_check.cpp
    ${KERNELS_DIR}/deflate/zlib_stream.cpp
)
target_include_directories(simpleimage_kernels PUBLIC ${KERNELS_INCLUDE_DIR})
target_compile_features(simpleimage_kernels PUBLIC cxx_std_20)
# Hidden symbols: linked into the extension, the kernels' functions are called
# directly and inlined, not through the procedure linkage table.
set_target_properties(simpleimage_kernels PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_EXTENSIONS OFF
                      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
simpleimage_instrument(simpleimage_kernels)
if(SIMPLEIMAGE_FUZZ)
    # The kernels compare loop bounds and data bytes; tracing those comparisons
    # for the fuzzer costs half of each input's time and steers nothing. Their
    # edges are still counted.
    target_compile_options(simpleimage_kernels PRIVATE -fno-sanitize-coverage=trace-cmp)
endif()
find_package(Threads REQUIRED)
target_link_libraries(simpleimage_kernels PUBLIC Threads::Threads)

# PNG image data is inflated by the kernels' own inflater; its name goes into
# the build information (build_info.cmake) and kernels::inflaterName().
set(SIMPLEIMAGE_INFLATER "built-in (refuses exactly what zlib refuses)")
target_compile_definitions(simpleimage_kernels
                           PRIVATE "SIMPLEIMAGE_INFLATER_NAME=\"${SIMPLEIMAGE_INFLATER}\"")
include(${CMAKE_CURRENT_LIST_DIR}/inflater.cmake)

# The deflate kernel stands in for zlib.compress only where each stream it
# makes can be inflated again and checked, which takes libdeflate.
# SIMPLEIMAGE_DEFLATE names the route for the package's build information.
if(LIBDEFLATE_FOUND)
    string(CONCAT SIMPLEIMAGE_DEFLATE
           "own, zlib's level-6 streams on all cores, each checked with libdeflate "
           "${LIBDEFLATE_VERSION} (zlib.compress when rebound or when the interpreter's zlib "
           "writes other streams)")
else()
    set(SIMPLEIMAGE_DEFLATE "the interpreter's zlib.compress (no libdeflate to check another deflate with)")
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(KERNELS_X86_FLAGS_sse2 -msse2)
    set(KERNELS_X86_FLAGS_ssse3 -mssse3)
    set(KERNELS_X86_FLAGS_avx2 -mavx2)
    set(KERNELS_X86_FLAGS_avx512 -mavx512bw -mavx512vl)
    foreach(level IN ITEMS sse2 ssse3 avx2 avx512)
        target_sources(simpleimage_kernels PRIVATE ${KERNELS_DIR}/x86_${level}.cpp)
        set_source_files_properties(${KERNELS_DIR}/x86_${level}.cpp
                                    PROPERTIES COMPILE_OPTIONS "${KERNELS_X86_FLAGS_${level}}")
    endforeach()
    target_sources(simpleimage_kernels PRIVATE ${KERNELS_DIR}/x86_crc32.cpp)
    set_source_files_properties(${KERNELS_DIR}/x86_crc32.cpp
                                PROPERTIES COMPILE_OPTIONS "-msse4.1;-mpclmul")
    target_compile_definitions(simpleimage_kernels PRIVATE SIMPLEIMAGE_X86_KERNELS)
endif()

# A standalone program over the kernel library (the kernel checks, the kernel
# benchmark), built with the same flags as the library.
function(add_kernel_program name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE simpleimage_kernels)
    set_target_properties(${name} PROPERTIES CXX_EXTENSIONS OFF)
    simpleimage_instrument(${name})
endfunction()
