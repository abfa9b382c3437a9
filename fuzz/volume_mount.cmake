# The mount chain over hostile images held in memory.
if(TARGET korva_volume)
  korva_add_fuzzer(volume_mount SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/volume_mount.cpp
                   LIBS korva_volume)
endif()
