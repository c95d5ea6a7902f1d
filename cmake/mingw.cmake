# What both MinGW toolchains share: console executables for Windows from the POSIX-thread
# cross compilers named by QVL_MINGW_TRIPLE, run under Wine when tests run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QVL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QVL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
