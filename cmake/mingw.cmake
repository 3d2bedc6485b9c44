# What both mingw-w64 cross builds share; the including file sets PNGTRANS_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The posix-thread variant of the compiler is used because
# GoogleTest needs std::mutex, which the win32-thread libstdc++ lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PNGTRANS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PNGTRANS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PNGTRANS_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PNGTRANS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
