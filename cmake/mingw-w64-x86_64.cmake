# Cross-building cartsift.exe for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix): the posix thread model gives std::thread
# through winpthreads, which the read-ahead of compressed volumes needs.
#   cmake -S . -B build-win --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CARTSIFT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CARTSIFT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CARTSIFT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CARTSIFT_MINGW_PREFIX}-windres)

# Libraries and headers for the target come from the MinGW tree only; the
# build machine's programs (wine, python3) are still found on its PATH.
set(CMAKE_FIND_ROOT_PATH /usr/${CARTSIFT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

