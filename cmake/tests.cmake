# Tests, run through CTest.
if(WIN32)
  include(cmake/tests-win32.cmake)
  return()
endif()

find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(vorkap_unit_tests
  platform/profile_test.cpp
  platform/profile_section_test.cpp
  platform/profile_api_test.cpp
  platform/profile_file_test.cpp
  platform/platform_posix_test.cpp
  registrar/locate_test.cpp
  front/messages_test.cpp)
target_link_libraries(vorkap_unit_tests PRIVATE vorkap_logic GTest::gtest_main)
# Parameterized cases are named by their case names alone.
gtest_discover_tests(vorkap_unit_tests DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)

# The built program, run end to end in scratch Notes directories.
add_executable(vorkap_program_tests front/setup_test.cpp)
target_link_libraries(vorkap_program_tests PRIVATE GTest::gtest_main util)
target_include_directories(vorkap_program_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(vorkap_program_tests PRIVATE
  VORKAP_SETUP_BINARY="$<TARGET_FILE:vorkap-setup>")
add_dependencies(vorkap_program_tests vorkap-setup)
gtest_discover_tests(vorkap_program_tests DISCOVERY_TIMEOUT 60)

# Faults, bad input and concurrent runs.
include(cmake/robustness.cmake OPTIONAL)
