# Tests of the Windows build, run under Wine by `ctest --preset win32`.
#
# The product is the 32-bit program. Where the kernel cannot execute 32-bit code, 32-bit Wine
# cannot start at all; the same sources are then also built as a 64-bit program (the "vehicle",
# in wine64-vehicle/ of this build tree) and the run-time tests use that one under 64-bit Wine.
# Which of the two runs is decided when the tests start, and printed by win32.wine-prepare.

# GoogleTest from the Debian source package, built for MinGW.
set(VORKAP_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${VORKAP_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The profile-file table run against the real profile API, the program's checked writes over it,
# and the start-directory cases with code page 932.
add_executable(vorkap_windows_tests
  platform/profile-api-test.cpp
  platform/checked-write-win32-test.cpp
  platform/file-calls-win32-test.cpp
  registrar/locate-test.cpp)
target_link_libraries(vorkap_windows_tests PRIVATE vorkap_logic gtest_main)

# The same program over the platform's own profile calls, unchecked: what the checked write's cost
# is measured against (tests/wine/write-cost.sh).
get_target_property(VORKAP_LOGIC_SOURCES vorkap_logic SOURCES)
add_library(vorkap_logic_direct STATIC ${VORKAP_LOGIC_SOURCES})
target_compile_definitions(vorkap_logic_direct PRIVATE PLATFORM_RAW_PROFILE_API)
target_link_libraries(vorkap_logic_direct PUBLIC vorkap_platform)
add_executable(vorkap-setup-direct front/main.cpp)
target_link_libraries(vorkap-setup-direct PRIVATE vorkap_logic_direct)

# The trivial program that shows whether a Wine vehicle works.
add_executable(wine_probe tests/wine/probe.cpp)
# Another program beside the one tested: holds a file open with or without sharing, scans a
# folder as a virus scanner does, sets attributes, writes keys through the program's checked
# write, times it against the platform's write (tests/wine/write-cost.sh).
add_executable(wine_helper tests/wine/helper.cpp)
target_link_libraries(wine_helper PRIVATE vorkap_platform)

set(VORKAP_WINE_DIR ${CMAKE_SOURCE_DIR}/tests/wine)
set(VORKAP_WINE_STATE ${CMAKE_BINARY_DIR}/wine-state)

# The differential test of the profile engine against the real profile API.
include(cmake/differential.cmake)

# Inside the vehicle's own build only the programs are wanted.
if(VORKAP_WINE_VEHICLE)
  return()
endif()

# The 64-bit vehicle, built from the same sources when this build is the 32-bit one.
set(VORKAP_VEHICLE_DIR "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(VORKAP_MINGW64_CXX x86_64-w64-mingw32-g++)
  if(VORKAP_MINGW64_CXX)
    include(ExternalProject)
    set(VORKAP_VEHICLE_DIR ${CMAKE_BINARY_DIR}/wine64-vehicle)
    ExternalProject_Add(wine64_vehicle
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${VORKAP_VEHICLE_DIR}
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DVORKAP_WINE_VEHICLE=ON
        -DVORKAP_GOOGLETEST_SOURCE_DIR=${VORKAP_GOOGLETEST_SOURCE_DIR}
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON)
  else()
    message(STATUS "x86_64-w64-mingw32-g++ not found: no 64-bit Wine vehicle; the run-time "
                   "tests need a kernel that runs 32-bit code")
  endif()
endif()

set(VORKAP_EXE $<TARGET_FILE:vorkap-setup>)

# Static checks of the product: PE32 for i386, console subsystem, imports, resources.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME win32.pe-image
    COMMAND bash ${VORKAP_WINE_DIR}/check-pe.sh ${VORKAP_EXE} ${PROJECT_VERSION})
  set_tests_properties(win32.pe-image PROPERTIES TIMEOUT 60)
endif()

# The release command run twice on copies of the sources, unsigned and then signed with a
# throwaway certificate: byte-identical exe and zip; the signed program registers under Wine.
add_test(NAME win32.release-reproducible
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/release/reproducible.sh ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION}
    ${VORKAP_WINE_STATE})
set_tests_properties(win32.release-reproducible PROPERTIES
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix TIMEOUT 420)

# Chooses the vehicle and makes the Wine prefix the other tests share.
add_test(NAME win32.wine-prepare
  COMMAND bash ${VORKAP_WINE_DIR}/prepare.sh ${VORKAP_WINE_STATE}
    $<TARGET_FILE_DIR:vorkap-setup> "${VORKAP_VEHICLE_DIR}")
add_test(NAME win32.wine-cleanup
  COMMAND bash ${VORKAP_WINE_DIR}/cleanup.sh ${VORKAP_WINE_STATE})
set_tests_properties(win32.wine-prepare PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(win32.wine-cleanup PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

set(VORKAP_WINE_TESTS)

add_test(NAME win32.profile-api-and-locate
  COMMAND bash ${VORKAP_WINE_DIR}/run-unit.sh ${VORKAP_WINE_STATE} vorkap_windows_tests.exe)
list(APPEND VORKAP_WINE_TESTS win32.profile-api-and-locate)

# The program end to end, messages on standard output (/I) or in boxes without a display.
foreach(Case register reregister remove remove-absent not-found no-slot unwritable
             long-path boxes-no-display)
  add_test(NAME win32.setup.${Case}
    COMMAND bash ${VORKAP_WINE_DIR}/setup-cases.sh ${VORKAP_WINE_STATE} ${Case})
  list(APPEND VORKAP_WINE_TESTS win32.setup.${Case})
endforeach()

# notes.ini kept whole: full disks (with room for the copy only, with no room to stage anywhere),
# a file held by another program with or without sharing, a virus scanner, kills at random
# moments, attributes, folders with Japanese names, a 250-character path, symbolic links (into a
# folder named outside the code page, to a long path), a read-only file that already says it
# (cases printed by name).
add_test(NAME win32.keeps-whole
  COMMAND bash ${VORKAP_WINE_DIR}/keeps-whole.sh ${VORKAP_WINE_STATE})
list(APPEND VORKAP_WINE_TESTS win32.keeps-whole)

# The deployment kit of deploy/ as the release ships it, run by cmd.exe: refusals, the host
# program running, backup, confirmation, the program's codes and the log.
add_test(NAME win32.batch-file
  COMMAND bash ${VORKAP_WINE_DIR}/batch-file.sh ${VORKAP_WINE_STATE} ${CMAKE_SOURCE_DIR})
list(APPEND VORKAP_WINE_TESTS win32.batch-file)

# Real message boxes on a virtual display: screenshot, OK pressed, outcome checked.
add_test(NAME win32.message-box
  COMMAND bash ${VORKAP_WINE_DIR}/message-box.sh ${VORKAP_WINE_STATE})
list(APPEND VORKAP_WINE_TESTS win32.message-box)

# The tests share one prefix and end its leftover processes after each run: one at a time.
set_tests_properties(${VORKAP_WINE_TESTS} PROPERTIES
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix TIMEOUT 240)
set_tests_properties(win32.keeps-whole PROPERTIES TIMEOUT 900)
