# Cross-compiling for Windows with Debian's MinGW-w64 (POSIX thread model, so that
# std::thread works). Included by the toolchain file of each processor, which sets
# CMAKE_SYSTEM_PROCESSOR and _mingw (the compiler prefix) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
