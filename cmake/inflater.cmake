# The whole-buffer inflater: the system's libdeflate, found with pkg-config (or
# by its header and library), unless SIMPLEIMAGE_LIBDEFLATE is OFF. Without it
# the extension inflates all image data through the interpreter's zlib.
# SIMPLEIMAGE_INFLATER names the choice for the package's build information.
option(SIMPLEIMAGE_LIBDEFLATE "Inflate PNG image data with the system's libdeflate when found" ON)

set(SIMPLEIMAGE_INFLATER "the interpreter's zlib")
if(SIMPLEIMAGE_LIBDEFLATE)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(LIBDEFLATE QUIET IMPORTED_TARGET libdeflate)
    endif()
    if(LIBDEFLATE_FOUND)
        target_link_libraries(simpleimage_kernels PUBLIC PkgConfig::LIBDEFLATE)
        set(SIMPLEIMAGE_INFLATER "libdeflate ${LIBDEFLATE_VERSION}")
    else()
        find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
        find_library(LIBDEFLATE_LIBRARY deflate)
        if(LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
            target_include_directories(simpleimage_kernels PRIVATE ${LIBDEFLATE_INCLUDE_DIR})
            target_link_libraries(simpleimage_kernels PUBLIC ${LIBDEFLATE_LIBRARY})
            set(LIBDEFLATE_FOUND TRUE)
            set(SIMPLEIMAGE_INFLATER "libdeflate")
        endif()
    endif()
endif()

if(LIBDEFLATE_FOUND)
    target_compile_definitions(simpleimage_kernels PRIVATE SIMPLEIMAGE_LIBDEFLATE)
    message(STATUS "PNG image data: inflated with ${SIMPLEIMAGE_INFLATER}")
else()
    message(STATUS "PNG image data: libdeflate not used; inflated with the interpreter's zlib "
                   "(install libdeflate-dev for faster decoding)")
endif()
