# Check and repair over hostile images held in memory.
if(TARGET korva_volume)
  korva_add_fuzzer(check_repair SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/check_repair.cpp
                   LIBS korva_volume)
endif()
