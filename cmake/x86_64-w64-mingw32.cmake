# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (win32 threading model).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KOVALTHERM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
