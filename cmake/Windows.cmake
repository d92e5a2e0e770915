# Windows (mingw-w64) specifics of the build: the system libraries the
# platform layer links, the Windows version it targets, and the DLLs every
# program needs beside it in bin/ (OpenSSL, libevent, the toolchain's
# runtime), copied there at configure time and installed with the library.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# The resolver functions (getaddrinfo, freeaddrinfo, inet_pton, inet_ntop)
# exist in ws2_32 on every supported Windows: they are linked directly.
# bcrypt gives the random bytes of the DNS cache's spread.
set(CORVIO_SYSTEM_LIBS ws2_32 bcrypt)
set(corvio_runtime_dirs ${CORVIO_WIN_DEPS}/bin ${CORVIO_WIN_DEPS}/lib)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE corvio_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(corvio_gcc_dir ${corvio_libstdcxx} DIRECTORY)
list(APPEND corvio_runtime_dirs ${corvio_gcc_dir} /usr/${CORVIO_MINGW}/lib)
set(CORVIO_RUNTIME_DLLS)
foreach(pattern libcrypto-*.dll libssl-*.dll libevent_core*.dll libstdc++-6.dll
        libgcc_s_seh-1.dll libwinpthread-1.dll)
  set(found)
  foreach(dir ${corvio_runtime_dirs})
    file(GLOB found ${dir}/${pattern})
    if(found)
      break()
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "no ${pattern} in ${corvio_runtime_dirs}")
  endif()
  list(APPEND CORVIO_RUNTIME_DLLS ${found})
endforeach()
file(COPY ${CORVIO_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
install(FILES ${CORVIO_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})

# Programs get byte-exact standard streams (platform/win32/BinaryStdio.c).
set(CORVIO_PROGRAM_SOURCES ${PROJECT_SOURCE_DIR}/platform/win32/BinaryStdio.c)
