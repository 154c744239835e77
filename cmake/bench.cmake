# Benchmarks: what the engine costs per byte in memory (vorkap_bench_engine), what the check of
# another writer's write costs (vorkap_bench_check), and what whole runs of the program cost beside
# the floor of one crash-safe write (vorkap_bench_runs, the numbers in docs/performance.md).
# bench/smoke.sh runs them all on the smallest size.

# The yardstick: read a file once and replace it crash-safely with one line changed.
add_executable(vorkap_floor bench/floor.cpp)

add_library(vorkap_bench_content STATIC bench/content.cpp)
target_include_directories(vorkap_bench_content PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

add_executable(vorkap_bench_engine bench/engine.cpp)
target_link_libraries(vorkap_bench_engine PRIVATE vorkap_bench_content vorkap_platform)

# The check of another writer's write, beside the per-section check that it replaced.
add_executable(vorkap_bench_check bench/check.cpp)
target_link_libraries(vorkap_bench_check PRIVATE vorkap_bench_content vorkap_platform)

add_executable(vorkap_bench_runs bench/runs.cpp)
target_link_libraries(vorkap_bench_runs PRIVATE vorkap_bench_content vorkap_platform)
# Scratch files live in the build tree, on the repository's file system, so that fsync is real.
target_compile_definitions(vorkap_bench_runs PRIVATE
  VORKAP_SETUP_BINARY="$<TARGET_FILE:vorkap-setup>"
  VORKAP_FLOOR_BINARY="$<TARGET_FILE:vorkap_floor>"
  VORKAP_BENCH_SCRATCH="${CMAKE_BINARY_DIR}/scratch")
add_dependencies(vorkap_bench_runs vorkap-setup vorkap_floor)
