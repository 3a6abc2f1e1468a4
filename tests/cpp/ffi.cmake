# Tests of the call entry: the chunk runner, the handlers and their binding,
# called directly and through hand-built call frames (no runtime needed).
add_executable(vexol_ffi_tests
  test_chunk_runner.cc
  test_ffi_binding.cc
  test_ffi_handlers.cc
  test_ffi_allocation_counter.cc
  test_row_batches.cc
  test_fp_mode_and_methods.cc
)
target_link_libraries(vexol_ffi_tests PRIVATE vexol_ffi GTest::gtest_main)
target_compile_options(vexol_ffi_tests PRIVATE -O2 -Wall -Wextra)
gtest_discover_tests(vexol_ffi_tests DISCOVERY_TIMEOUT 60)

# Prints the chunk runner's draws for inputs given on stdin, so that the
# Python tests can hold what comes back through the runtime against them.
add_executable(vexol_reference_draws test_chunk_reference_draws.cc)
target_link_libraries(vexol_reference_draws PRIVATE vexol_chunks)
target_compile_options(vexol_reference_draws PRIVATE -O2 -Wall -Wextra)
