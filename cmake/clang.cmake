# clang 14 for the native x86-64 Linux target: the fuzz build (libFuzzer and the sanitizer
# runtimes come with Debian's clang packages).
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
