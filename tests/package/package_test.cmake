# Installs the build tree into a scratch prefix and builds clients against it.
cmake_minimum_required(VERSION 3.25)

function(run)
  cmake_parse_arguments(R "" "WHAT;EXPECT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${R_WHAT} failed (${rc}):\n${out}\n${err}")
  endif()
  if(R_EXPECT AND NOT out MATCHES "${R_EXPECT}")
    message(FATAL_ERROR "${R_WHAT}: output lacks '${R_EXPECT}':\n${out}\n${err}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(WHAT "cmake --install" COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f ${INCLUDEDIR}/korva/korva.h ${INCLUDEDIR}/korva/TKorva.hpp
    ${LIBDIR}/libkorva.so ${LIBDIR}/cmake/Korva/KorvaConfig.cmake
    ${LIBDIR}/pkgconfig/korva.pc ${BINDIR}/korva)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})

# 1. CMake: find_package(Korva) and Korva::korva.
run(WHAT "configure the CMake client" COMMAND ${CMAKE_COMMAND} -S ${CLIENT_DIR}
  -B ${WORK_DIR}/cmake-client -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
  -DCMAKE_C_COMPILER=${CC} "-DCMAKE_CXX_FLAGS=${CLIENT_FLAGS}" "-DCMAKE_C_FLAGS=${CLIENT_FLAGS}")
run(WHAT "build the CMake client" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-client)
run(WHAT "run the CMake client" EXPECT "client ok"
  COMMAND ${WORK_DIR}/cmake-client/korva_client ${WORK_DIR}/cmake.iso)
run(WHAT "run the CMake C client" EXPECT "c client ok"
  COMMAND ${WORK_DIR}/cmake-client/korva_c_client ${WORK_DIR}/cmake-c.iso)

# 2. pkg-config: the same sources by hand.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs korva RESULT_VARIABLE rc
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know korva")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CLIENT_FLAGS}")
run(WHAT "compile the C++ client with pkg-config" COMMAND ${CXX} -std=c++20 ${extra}
  ${CLIENT_DIR}/client.cpp ${flags} -pthread -o ${WORK_DIR}/pc-client)
run(WHAT "run the pkg-config client" EXPECT "client ok"
  COMMAND ${WORK_DIR}/pc-client ${WORK_DIR}/pc.iso)
run(WHAT "compile the C client with pkg-config" COMMAND ${CC} -std=c11 -Wall -Werror ${extra}
  ${CLIENT_DIR}/c_client.c ${flags} -o ${WORK_DIR}/pc-c-client)
run(WHAT "run the pkg-config C client" EXPECT "c client ok"
  COMMAND ${WORK_DIR}/pc-c-client ${WORK_DIR}/pc-c.iso)

# 3. The installed tool reads what the clients wrote.
run(WHAT "installed korva" EXPECT "Files: +1"
  COMMAND ${prefix}/${BINDIR}/korva -i ${WORK_DIR}/pc.iso info)
