korva_add_fuzzer(device_responses
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_responses.cpp
  LIBS korva_device)
