# 64-bit Windows (PE32+): the same sources, for machines whose CPU or kernel
# cannot execute 32-bit code, so that the tests still run under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(SQ_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
