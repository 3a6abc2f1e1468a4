# Hardening tests of the call entry: concurrent callers, allocations and
# threads left behind, refusals and awkward inputs through call frames.
add_executable(vexol_hardening_tests
  test_hardening.cc
  test_ffi_allocation_counter.cc
)
target_link_libraries(vexol_hardening_tests PRIVATE vexol_ffi GTest::gtest_main)
target_compile_options(vexol_hardening_tests PRIVATE -O2 -Wall -Wextra)
gtest_discover_tests(vexol_hardening_tests DISCOVERY_TIMEOUT 60)
