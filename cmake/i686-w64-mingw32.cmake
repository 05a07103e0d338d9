# 32-bit Windows (PE32, x86): the shipped updater.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SQ_MINGW_TRIPLE i686-w64-mingw32)
set(SQ_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
