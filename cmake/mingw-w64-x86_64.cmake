# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (POSIX threads).
# CORVIO_WIN_DEPS is the prefix holding OpenSSL and libevent built for the
# same target (scripts/windows-deps prints it). Programs run under Wine
# through cmake/wine-run, so ctest runs the test programs as on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORVIO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVIO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVIO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVIO_MINGW}-windres)

set(CORVIO_WIN_DEPS "$ENV{CORVIO_WIN_DEPS}" CACHE PATH "Prefix of OpenSSL and libevent built for Windows")
if(NOT CORVIO_WIN_DEPS)
  message(FATAL_ERROR "CORVIO_WIN_DEPS is not set: run scripts/windows (or scripts/windows-deps)")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${CORVIO_MINGW} ${CORVIO_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${CORVIO_WIN_DEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${CORVIO_WIN_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
