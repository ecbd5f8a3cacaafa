# Configures and builds fuzz/service (fuzz_service over EDK II's SmbiosDxe)
# against the edk2 source that edk2.source fetched:
#   cmake -DEDK2_CACHE=<build>/testbed/edk2/source -DOUT=<folder>
#         [-DEXTRA_FLAGS="-fprofile-instr-generate -fcoverage-mapping"]
#         [-DCXX=clang++] -P fuzz/service/BuildHost.cmake
# Stops with a message when no complete edk2 source is in EDK2_CACHE.
foreach(required EDK2_CACHE OUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "BuildHost.cmake: -D${required}=... is required")
  endif()
endforeach()
if(NOT DEFINED CXX)
  set(CXX clang++)
endif()
string(REGEX REPLACE "\\+\\+$" "" CC "${CXX}")

file(GLOB completes ${EDK2_CACHE}/edk2-*/.complete)
list(LENGTH completes count)
if(count EQUAL 0)
  message(FATAL_ERROR "no fetched edk2 source in ${EDK2_CACHE} (run the edk2.source test first)")
endif()
list(SORT completes)
list(GET completes -1 complete)
get_filename_component(source ${complete} DIRECTORY)
message(STATUS "fuzz_service: EDK II's SmbiosDxe from ${source}")

string(TIMESTAMP started "%s")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${OUT} -G Ninja
          -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DEDK2_SOURCE=${source}
          "-DSERVICE_EXTRA_FLAGS=${EXTRA_FLAGS}"
  RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${OUT} RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "fuzz_service: the host build failed")
endif()
string(TIMESTAMP finished "%s")
math(EXPR seconds "${finished} - ${started}")
message(STATUS "fuzz_service: built ${OUT}/fuzz_service in ${seconds} s")
