# Cross build for 64-bit Windows with MinGW-w64 from Debian:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The compiler is the posix-threads flavour (Debian package
# g++-mingw-w64-x86-64-posix): its runtime has the C++ threading and clock
# support that the win32 flavour lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELTCFG_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTCFG_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTCFG_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTCFG_MINGW_TRIPLET}-windres)

# Headers and libraries from the MinGW-w64 tree only; programs (CMake's own
# tools) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELTCFG_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
