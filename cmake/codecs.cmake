# The codec core, built from png/ and bmp/ alone on top of the kernels: no
# Python.h, so that native fuzz targets and checks can link it without the
# interpreter, as the extension does.
set(CODECS_DIR ${KERNELS_INCLUDE_DIR})

add_library(simpleimage_codecs STATIC
    ${CODECS_DIR}/bmp/decode.cpp
    ${CODECS_DIR}/png/chunks.cpp
)
target_link_libraries(simpleimage_codecs PUBLIC simpleimage_kernels)
set_target_properties(simpleimage_codecs PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_EXTENSIONS OFF
                      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
simpleimage_instrument(simpleimage_codecs)
