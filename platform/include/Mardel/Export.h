// Symbol export for libcorviomd, which carries Mardel, Sablon and Corvio in one
// shared object. The library is compiled with hidden visibility: only
// declarations marked with an export macro are part of its ABI.
// CORVIO_BUILDING is defined while the library itself is compiled; on Windows
// CORVIO_STATIC marks a program that links the library's static archive
// instead of the DLL (the tests do), so nothing is imported.
#pragma once

#if defined(_WIN32)
#if defined(CORVIO_BUILDING)
#define MARDEL_API __declspec(dllexport)
#elif defined(CORVIO_STATIC)
#define MARDEL_API
#else
#define MARDEL_API __declspec(dllimport)
#endif
#else
#define MARDEL_API __attribute__((visibility("default")))
#endif
