# Settings of the Windows build (MinGW-w64, natively or cross, or MSVC).
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
if(MINGW)
  # Programs and DLLs carry their C++ runtime and threads, so that they run where no MinGW
  # runtime DLLs are installed (and under Wine without any setup).
  add_link_options(-static)
endif()
# The platform layer loads modules with LoadLibrary: no separate dl library to link.
if(NOT TARGET dl)
  add_library(dl INTERFACE)
endif()
# GoogleTest from its sources, built with the same compiler (no packaged Windows build).
if(KORVA_BUILD_TESTS AND NOT TARGET GTest::gtest)
  set(KORVA_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
  if(EXISTS ${KORVA_GTEST_SOURCE}/CMakeLists.txt)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(${KORVA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(_t gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${_t})
        add_library(GTest::${_t} ALIAS ${_t})
      endif()
      target_compile_options(${_t} PRIVATE -w)
    endforeach()
  else()
    message(FATAL_ERROR "GoogleTest sources not found at ${KORVA_GTEST_SOURCE}")
  endif()
endif()
# The suites state their 8-bit names in UTF-8, as the Linux build takes them: their programs
# run with UTF-8 as the ANSI code page (Windows 10 1903 and later, and Wine, honour this
# manifest). tests/windows/ansi_names_test runs without it, in the system's code page.
enable_language(RC)
set(KORVA_UTF8_MANIFEST_RC ${CMAKE_BINARY_DIR}/utf8-code-page.rc)
file(WRITE ${KORVA_UTF8_MANIFEST_RC}
     "1 24 \"${CMAKE_CURRENT_LIST_DIR}/utf8-code-page.manifest\"\n")
