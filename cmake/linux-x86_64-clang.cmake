# Native x86_64 Linux with clang, for the libFuzzer targets.
include(${CMAKE_CURRENT_LIST_DIR}/linux-x86_64.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
