# clang 14 for the 32-bit Linux target: the fuzz build (libFuzzer's i386 runtime comes with
# Debian's clang packages).
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
include(${CMAKE_CURRENT_LIST_DIR}/linux-m32.cmake)
