# Cross build for x86-64 Windows: the same sources as the shipped i686 DLL, so that the
# Windows-only code (file layer, dialog, help, dialog 103) runs on machines without 32-bit
# execution. Tests run under wine64 alone.
set(PNGTRANS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run --win64)
