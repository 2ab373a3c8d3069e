# Compiler flags shared by every target of the project: warnings, and the
# instrumented builds that the options below select. Each target opts in with
# simpleimage_instrument(target); no target changes another's flags.
option(SIMPLEIMAGE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(SIMPLEIMAGE_FUZZ "Add coverage instrumentation for a libFuzzer-driven fuzzer (clang only)" OFF)

set(SIMPLEIMAGE_SANITIZER_FLAGS
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)

function(simpleimage_instrument target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(SIMPLEIMAGE_SANITIZE)
        target_compile_options(${target} PRIVATE ${SIMPLEIMAGE_SANITIZER_FLAGS})
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
    if(SIMPLEIMAGE_FUZZ)
        # The fuzzer's sanitizer runtime has no C++ UBSan handlers, so the two
        # checks that need them are left out.
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link -fno-sanitize=vptr,function)
    endif()
endfunction()
