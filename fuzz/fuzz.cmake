# The fuzz target, added to the main build when it is configured with
#   -DCMAKE_PROJECT_vexol_INCLUDE=<repo>/fuzz/fuzz.cmake
# (scripts/fuzz.sh does this, with clang and the fuzzer instrumentation).
# The target is created at the end of the top-level directory so that it is
# compiled with the same floating-point options as the library.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include
               ${CMAKE_SOURCE_DIR}/fuzz/fuzz_target.cmake)
