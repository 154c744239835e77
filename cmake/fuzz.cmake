# libFuzzer target for the profile engine (clang only): the engine's sources are compiled into
# the target itself, so that all of it is instrumented for coverage and the sanitizers.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VORKAP_FUZZ needs clang++ (libFuzzer); use the 'fuzz' preset")
endif()

set(VORKAP_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
add_executable(profile_fuzz profile/profile-fuzz.cpp profile/read.cpp
  profile/edit.cpp profile/section.cpp profile/check.cpp profile/in-place.cpp)
target_include_directories(profile_fuzz PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(profile_fuzz PRIVATE ${VORKAP_FUZZ_FLAGS})
target_link_options(profile_fuzz PRIVATE ${VORKAP_FUZZ_FLAGS})
