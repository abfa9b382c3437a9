# Cross-compiling for 32-bit Windows, where pointers and so the system's records are
# smaller. This machine's Wine runs 64-bit programs only: the 32-bit build is compiled and
# linked here, not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
