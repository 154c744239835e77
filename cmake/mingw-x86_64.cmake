# Cross-compiling the same sources as a 64-bit Windows program with MinGW-w64 (x86-64).
#
# The product is the 32-bit build (mingw-i686.cmake). This build exists so that the Windows tests
# can run under 64-bit Wine on machines whose kernel cannot execute 32-bit code. It is linked
# the same way: statically, needing no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
