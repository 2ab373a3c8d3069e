# What the build is made of, for `corvane --version`: the generated module
# Corvane/_build.py, installed beside the extension, which keeps such facts out
# of the extension module's namespace. kernels.cmake names the inflater in
# SIMPLEIMAGE_INFLATER and the deflate the writers use in SIMPLEIMAGE_DEFLATE.

# The values go into Python string literals in double quotes.
foreach(fact IN ITEMS INFLATER DEFLATE)
    string(REPLACE "\\" "\\\\" literal "${SIMPLEIMAGE_${fact}}")
    string(REPLACE "\"" "\\\"" SIMPLEIMAGE_${fact}_LITERAL "${literal}")
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.py.in
               ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py DESTINATION Corvane)
