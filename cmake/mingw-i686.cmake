# Cross-compiling the 32-bit Windows program with MinGW-w64 (i686).
#
# The program is linked statically against libgcc, libstdc++ and the MinGW runtime, so that
# vorkap-setup.exe needs no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
