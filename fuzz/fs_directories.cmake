# Directory, file-entry and data reading over mutated images held in memory.
if(TARGET korva_volume)
  korva_add_fuzzer(fs_directories SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fs_directories.cpp
                   LIBS korva_volume)
  if(KORVA_FUZZ)
    # Coverage feedback has to reach into the engine the fuzzer drives.
    target_compile_options(korva_volume PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
  endif()
endif()
