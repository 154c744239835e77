# Benchmarks: the profile engine in memory, and whole runs of the program beside the floor of one
# crash-safe write. Run build/bench/vorkap_bench (bench/smoke.sh runs the smallest size only).

# The yardstick: read a file once and replace it crash-safely with one line changed.
add_executable(vorkap_floor bench/floor.cpp)

add_executable(vorkap_bench
  bench/run_bench.cpp
  bench/content.cpp)
target_include_directories(vorkap_bench PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vorkap_bench PRIVATE vorkap_platform)
# Scratch files live in the build tree, on the repository's file system, so that fsync is real.
target_compile_definitions(vorkap_bench PRIVATE
  VORKAP_SETUP_BINARY="$<TARGET_FILE:vorkap-setup>"
  VORKAP_FLOOR_BINARY="$<TARGET_FILE:vorkap_floor>"
  VORKAP_BENCH_SCRATCH="${CMAKE_BINARY_DIR}/scratch")
add_dependencies(vorkap_bench vorkap-setup vorkap_floor)
