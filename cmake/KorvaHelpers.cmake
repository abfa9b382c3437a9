# korva_add_gtest(NAME [SYSTEM_CODE_PAGE] SOURCES src... LIBS lib... [ENV VAR=VALUE...])
# Builds one GoogleTest executable and registers it with CTest. On Windows it runs with UTF-8
# as its 8-bit code page unless SYSTEM_CODE_PAGE is given.
function(korva_add_gtest name)
  cmake_parse_arguments(T "SYSTEM_CODE_PAGE" "" "SOURCES;LIBS;ENV" ${ARGN})
  if(KORVA_UTF8_MANIFEST_RC AND NOT T_SYSTEM_CODE_PAGE)
    list(APPEND T_SOURCES ${KORVA_UTF8_MANIFEST_RC})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main pthread)
  target_include_directories(${name} PRIVATE ${KORVA_INCLUDE_DIR} ${CMAKE_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

# korva_add_library(NAME SOURCES src... [DEPS lib...])
# One static library per subsystem, with the public headers visible.
function(korva_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${KORVA_INCLUDE_DIR}>
                                     PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE KORVA_BUILDING=1)
  if(L_DEPS)
    target_link_libraries(${name} PUBLIC ${L_DEPS})
  endif()
endfunction()
