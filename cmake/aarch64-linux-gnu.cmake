# Cross-building the Linux aarch64 binaries on an x86-64 machine with Debian's
# cross compiler (g++-aarch64-linux-gnu):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# .ci/aarch64 runs the results under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUELT_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUELT_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QUELT_CROSS_PREFIX}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUELT_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
