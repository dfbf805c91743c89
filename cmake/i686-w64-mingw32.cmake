# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (win32 threading model).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KOVALTHERM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
