korva_add_fuzzer(udf_parsers SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/udf_parsers.cpp LIBS korva_udf)
if(KORVA_FUZZ)
  # Coverage feedback has to reach into the library the fuzzer drives.
  target_compile_options(korva_udf PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
endif()
