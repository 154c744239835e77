# The differential test of the profile engine: one oracle program, built natively against the
# engine and as a Windows program against the real profile API, and a native driver that
# generates cases, runs both oracles (the Windows one under Wine) and compares their reads.

add_executable(vorkap_diff_oracle tests/differential/oracle.cpp)
target_link_libraries(vorkap_diff_oracle PRIVATE vorkap_platform)

if(NOT WIN32)
  add_executable(vorkap_diff_driver
    tests/differential/driver.cpp
    tests/differential/cases.cpp)
  target_include_directories(vorkap_diff_driver PRIVATE ${CMAKE_SOURCE_DIR})
  # The driver against the engine on both sides: every case must agree, so a fault of the
  # generator, the batch format or the comparison shows here without Wine.
  add_test(NAME differential.self-check
    COMMAND vorkap_diff_driver --native=$<TARGET_FILE:vorkap_diff_oracle>
      --windows=$<TARGET_FILE:vorkap_diff_oracle> --loader=env
      --work=${CMAKE_BINARY_DIR}/differential-self-check --mode=single-byte --cases=300)
  set_tests_properties(differential.self-check PROPERTIES TIMEOUT 120)
  return()
endif()

if(VORKAP_WINE_VEHICLE)
  return()
endif()

# The native oracle and the driver, built with the host's compiler in their own build tree.
include(ExternalProject)
set(VORKAP_HOST_DIR ${CMAKE_BINARY_DIR}/host-tools)
ExternalProject_Add(vorkap_host_tools
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${VORKAP_HOST_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${VORKAP_HOST_DIR}
    --target vorkap_diff_oracle vorkap_diff_driver
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)

add_test(NAME win32.differential
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/differential/run.sh ${VORKAP_WINE_STATE}
    ${VORKAP_HOST_DIR})
# Like the other Wine tests, it needs the shared prefix and runs alone in it.
set_tests_properties(win32.differential PROPERTIES
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine-prefix TIMEOUT 900)
