# Shared settings of the mingw-w64 cross toolchains. The including file sets
# SQ_MINGW_TRIPLE (the compiler prefix) and SQ_WINE_ARCH (the Wine runner mode).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${SQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${SQ_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# ctest and test discovery run the .exe files through Wine in the project's
# private prefix (see scripts/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run;${SQ_WINE_ARCH})
