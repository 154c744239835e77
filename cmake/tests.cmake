# Tests, run through CTest.
if(WIN32)
  include(cmake/tests-win32.cmake)
  return()
endif()

find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(vorkap_unit_tests
  profile/profile-test.cpp
  profile/section-test.cpp
  platform/profile-api-test.cpp
  platform/profile-file-posix-test.cpp
  platform/platform-posix-test.cpp
  registrar/locate-test.cpp
  front/messages-test.cpp)
target_link_libraries(vorkap_unit_tests PRIVATE vorkap_logic vorkap_test_support
                      GTest::gtest_main)
# Test names are the cases' own names, without a dump of the parameter.
gtest_discover_tests(vorkap_unit_tests DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)

# What every test of the built program shares: the child runner that starts a program as a shell
# does, scratch directories, and the texts the program must show.
add_library(vorkap_test_support STATIC
  tests/support/child.cpp
  tests/support/scratch.cpp)
target_include_directories(vorkap_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vorkap_test_support PUBLIC util)

# The built program, run end to end in scratch Notes directories.
add_executable(vorkap_program_tests front/setup-test.cpp)
target_link_libraries(vorkap_program_tests PRIVATE vorkap_test_support GTest::gtest_main)
target_compile_definitions(vorkap_program_tests PRIVATE
  VORKAP_SETUP_BINARY="$<TARGET_FILE:vorkap-setup>")
add_dependencies(vorkap_program_tests vorkap-setup)
gtest_discover_tests(vorkap_program_tests DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)

# The install step of tools/lib.sh, against stand-ins of apt-get and dpkg that fail as a mirror
# in the middle of a sync does.
add_test(NAME install-step COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/lib-test.sh)

# Faults, bad input and concurrent runs.
include(cmake/robustness.cmake)

# The oracle and the driver of the differential test; the test itself runs in the win32 build.
include(cmake/differential.cmake)
