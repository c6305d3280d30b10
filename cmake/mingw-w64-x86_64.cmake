# Cross-building the Windows (x86-64) binaries on Linux with mingw-w64's
# posix-threads GCC: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUELT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELT_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${QUELT_MINGW_PREFIX}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${QUELT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The C++ runtime, libgcc and winpthreads go into each binary: nothing of
# mingw has to be shipped beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
