# What both MinGW-w64 toolchain files share; they set MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR
# first.
set(CMAKE_SYSTEM_NAME Windows)
# The compilers of the posix thread model: their libstdc++ has std::mutex and std::thread,
# which GoogleTest needs on Windows. Linked statically, the thread library adds no DLL.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without MinGW-w64 (a fresh machine), stop with the command that installs it rather than with
# CMake's failure to find a compiler.
find_program(VORKAP_MINGW_CXX_FOUND ${CMAKE_CXX_COMPILER} NO_CACHE)
if(NOT VORKAP_MINGW_CXX_FOUND)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is missing: install MinGW-w64 and the rest of what "
                      "the Windows program needs with `bash tools/install-deps.sh all` as root "
                      "(the test command `bash tools/test.sh` runs it)")
endif()

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
