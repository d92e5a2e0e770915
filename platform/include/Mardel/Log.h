// Logging of the platform layer and the library.
//
// Every line has a level (smaller is more severe: 2 failures, 3 refused input
// and failed steps, 4 notes, 6 progress). A line is made only when the print
// level admits it (getPrintLogLevel() >= level); MARDEL_LOG does that test
// before it evaluates any argument, so a disabled line costs one load and one
// compare.
//
// The default sink writes one line to stderr: time, level, function, message.
// A host program (and every test) may install its own sink with setLogSink.
// A sink runs on whichever thread logs, possibly several at once, and must not
// call back into the library.
#pragma once

#include <cstdarg>

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

// Print level; default 3. Lines of a level above it are not made.
MARDEL_API int getPrintLogLevel();
MARDEL_API void setPrintLogLevel(int level);

// Receives a formatted message (printf already applied; usually ends in "\n").
// `function` is the fully qualified name, e.g.
// "Halvex::Corvio::CHttpParser::Append".
typedef void (*LogSink)(int level, const char* module, const char* file, const char* function,
                        int line, const char* tag, const char* message);

// Installs `sink` for every later line; nullptr restores the stderr sink.
MARDEL_API void setLogSink(LogSink sink);

// Messages are formatted as C99 says (%zu, %lld) on every system: with
// mingw-w64 the C++ runtime selects its C99 printf family, which the check of
// format strings must then assume too.
#if defined(__MINGW32__)
#define MARDEL_PRINTF gnu_printf
#else
#define MARDEL_PRINTF printf
#endif

// Formats the message and hands it to the sink. Callers test the level first.
MARDEL_API void logFilter(int level, const char* module, const char* file, const char* function,
                          int line, const char* tag, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(MARDEL_PRINTF, 7, 8)))
#endif
    ;

MARDEL_API void logFilterV(int level, const char* module, const char* file, const char* function,
                           int line, const char* tag, const char* format, va_list args);

namespace detail {
// logFilter with the function given as the compiler's decorated signature
// (__PRETTY_FUNCTION__); the return type and parameter list are cut off so the
// sink sees "Namespace::Class::member".
MARDEL_API void logPretty(int level, const char* file, const char* pretty_function, int line,
                          const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(MARDEL_PRINTF, 5, 6)))
#endif
    ;

// Writes the qualified name found in `pretty` into `out` (at most size - 1
// characters and a NUL). Exposed for tests.
MARDEL_API void qualifiedName(const char* pretty, char* out, int size);
}  // namespace detail

}  // namespace Mardel
}  // namespace Halvex

#if defined(_MSC_VER)
#define MARDEL_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define MARDEL_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

// Logs one line with module and tag "Unknown" and the enclosing function's
// qualified name, when the print level admits `level`.
#define MARDEL_LOG(level, ...) MARDEL_LOG_AS((level), MARDEL_FUNCTION_SIGNATURE, __VA_ARGS__)

// The same in the name of the function whose MARDEL_FUNCTION_SIGNATURE is
// `signature`: a routine shared by several operations logs as the operation
// that called it.
#define MARDEL_LOG_AS(level, signature, ...)                                              \
    do {                                                                                  \
        if (::Halvex::Mardel::getPrintLogLevel() >= (level))                              \
            ::Halvex::Mardel::detail::logPretty((level), __FILE__, (signature), __LINE__, \
                                                __VA_ARGS__);                             \
    } while (0)
