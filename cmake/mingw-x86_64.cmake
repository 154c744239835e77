# Cross-compiling the same sources as a 64-bit Windows program with MinGW-w64 (x86-64).
#
# The product is the 32-bit build (mingw-i686.cmake). This build exists so that the Windows tests
# can run under 64-bit Wine on machines whose kernel cannot execute 32-bit code. It is linked
# the same way: statically, needing no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MINGW_PREFIX x86_64-w64-mingw32)
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

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
