# The pure C++ kernel library: no Python.h, so the extension, the kernel tests
# and the kernel benchmarks all build it from here. On x86-64 each vector level
# is a unit of its own, compiled with that level's flags; which level runs is
# decided at run time, so the library still runs on any x86-64 processor.
get_filename_component(KERNELS_EXT_DIR "${CMAKE_CURRENT_LIST_DIR}/../src/simpleImage_ext" ABSOLUTE)
set(KERNELS_DIR ${KERNELS_EXT_DIR}/kernels)

add_library(simpleimage_kernels STATIC
    ${KERNELS_EXT_DIR}/image/pixel_rows.cpp
    ${KERNELS_EXT_DIR}/png/filters.cpp
    ${KERNELS_EXT_DIR}/png/scanline_encoder.cpp
    ${KERNELS_DIR}/crc32.cpp
    ${KERNELS_DIR}/levels.cpp
    ${KERNELS_DIR}/reference.cpp
    ${KERNELS_DIR}/portable.cpp
)
target_include_directories(simpleimage_kernels PUBLIC ${KERNELS_EXT_DIR})
target_compile_features(simpleimage_kernels PUBLIC cxx_std_20)
target_compile_options(simpleimage_kernels PRIVATE -Wall -Wextra)
set_target_properties(simpleimage_kernels PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_EXTENSIONS OFF)

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
# benchmark). SIMPLEIMAGE_SANITIZE builds it and the library with the sanitizers.
function(add_kernel_program name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE simpleimage_kernels)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    set_target_properties(${name} PROPERTIES CXX_EXTENSIONS OFF)
    if(SIMPLEIMAGE_SANITIZE)
        set(flags -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
        target_compile_options(${name} PRIVATE ${flags})
        target_compile_options(simpleimage_kernels PRIVATE ${flags})
        target_link_options(${name} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
