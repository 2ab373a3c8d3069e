# The system's libdeflate, found with pkg-config (or by its header and
# library), unless SIMPLEIMAGE_LIBDEFLATE is OFF, and linked to the kernels
# with SIMPLEIMAGE_LIBDEFLATE defined. Image data does not depend on it: the
# kernels inflate with their own inflater (inflate.cpp) either way.
option(SIMPLEIMAGE_LIBDEFLATE "Link the system's libdeflate to the kernels when found" ON)

if(SIMPLEIMAGE_LIBDEFLATE)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(LIBDEFLATE QUIET IMPORTED_TARGET libdeflate)
    endif()
    if(LIBDEFLATE_FOUND)
        target_link_libraries(simpleimage_kernels PUBLIC PkgConfig::LIBDEFLATE)
    else()
        find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
        find_library(LIBDEFLATE_LIBRARY deflate)
        if(LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
            target_include_directories(simpleimage_kernels PRIVATE ${LIBDEFLATE_INCLUDE_DIR})
            target_link_libraries(simpleimage_kernels PUBLIC ${LIBDEFLATE_LIBRARY})
            set(LIBDEFLATE_FOUND TRUE)
        endif()
    endif()
endif()

if(LIBDEFLATE_FOUND)
    target_compile_definitions(simpleimage_kernels PRIVATE SIMPLEIMAGE_LIBDEFLATE)
    message(STATUS "libdeflate: linked to the kernels")
else()
    message(STATUS "libdeflate: not found; the kernels do without it")
endif()
message(STATUS "PNG image data: inflater ${SIMPLEIMAGE_INFLATER}")
