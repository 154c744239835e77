# Robustness tests: faults while notes.ini is written, bad input, and concurrent runs. They run
# the built program (and a small writer built from the profile engine) as child processes, each
# stopped by a time limit of its own, so no test can hang.

# Writes keys through WritePrivateProfileStringA in a loop: the other party of the concurrency
# tests.
add_executable(vorkap_profile_writer tests/robustness/profile-writer.cpp)
target_link_libraries(vorkap_profile_writer PRIVATE vorkap_platform)

add_executable(vorkap_robustness_tests
  tests/robustness/harness.cpp
  tests/robustness/content.cpp
  tests/robustness/faults-test.cpp
  tests/robustness/bad-input-test.cpp
  tests/robustness/concurrency-test.cpp
  tests/robustness/file-systems-test.cpp)
target_link_libraries(vorkap_robustness_tests PRIVATE
  vorkap_logic vorkap_test_support GTest::gtest_main)
target_compile_definitions(vorkap_robustness_tests PRIVATE
  VORKAP_SETUP_BINARY="$<TARGET_FILE:vorkap-setup>"
  VORKAP_PROFILE_WRITER="$<TARGET_FILE:vorkap_profile_writer>")
add_dependencies(vorkap_robustness_tests vorkap-setup vorkap_profile_writer)

# Each test is its own process (the full-disk cases change their own mount namespace), bounded
# by a CTest timeout well above its usual time.
gtest_discover_tests(vorkap_robustness_tests
  DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES TIMEOUT 120 LABELS robustness)
