# What the build is made of, for `corvane --version`: the generated module
# Corvane/_build.py, installed beside the extension, which keeps such facts out
# of the extension module's namespace. Whoever decides which inflater the
# decoder links sets SIMPLEIMAGE_INFLATER, and which deflate the writers use
# SIMPLEIMAGE_DEFLATE, before this file is included.
if(NOT DEFINED SIMPLEIMAGE_INFLATER)
    set(SIMPLEIMAGE_INFLATER "the interpreter's zlib")
endif()
if(NOT DEFINED SIMPLEIMAGE_DEFLATE)
    set(SIMPLEIMAGE_DEFLATE "the interpreter's zlib.compress")
endif()

# The values go into Python string literals in double quotes.
foreach(fact IN ITEMS INFLATER DEFLATE)
    string(REPLACE "\\" "\\\\" literal "${SIMPLEIMAGE_${fact}}")
    string(REPLACE "\"" "\\\"" SIMPLEIMAGE_${fact}_LITERAL "${literal}")
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.py.in
               ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py DESTINATION Corvane)
