# What the build is made of, for `corvane --version`: the generated module
# Corvane/_build.py, installed beside the extension, which keeps such facts out
# of the extension module's namespace. kernels.cmake names the inflater in
# SIMPLEIMAGE_INFLATER.

# The value goes into a Python string literal in double quotes.
string(REPLACE "\\" "\\\\" SIMPLEIMAGE_INFLATER_LITERAL "${SIMPLEIMAGE_INFLATER}")
string(REPLACE "\"" "\\\"" SIMPLEIMAGE_INFLATER_LITERAL "${SIMPLEIMAGE_INFLATER_LITERAL}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.py.in
               ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Corvane/_build.py DESTINATION Corvane)
