#include "Mardel/Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace Halvex {
namespace Mardel {
namespace {

std::atomic<int> g_print_level{3};

void stderr_sink(int level, const char* /*module*/, const char* /*file*/, const char* function,
                 int /*line*/, const char* /*tag*/, const char* message) {
    const auto now = std::chrono::system_clock::now();
    const time_t secs = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    struct tm tm_now;
#if defined(_WIN32)
    localtime_s(&tm_now, &secs);
#else
    localtime_r(&secs, &tm_now);
#endif
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm_now);
    size_t len = strlen(message);
    while (len > 0 && (message[len - 1] == '\n' || message[len - 1] == '\r'))
        --len;
    fprintf(stderr, "%s.%03ld [%d] %s: %.*s\n", stamp, millis, level, function,
            static_cast<int>(len), message);
}

std::atomic<LogSink> g_sink{&stderr_sink};

}  // namespace

int getPrintLogLevel() {
    return g_print_level.load(std::memory_order_relaxed);
}

void setPrintLogLevel(int level) {
    g_print_level.store(level, std::memory_order_relaxed);
}

void setLogSink(LogSink sink) {
    g_sink.store(sink ? sink : &stderr_sink);
}

void logFilterV(int level, const char* module, const char* file, const char* function, int line,
                const char* tag, const char* format, va_list args) {
    char stack_buf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stack_buf, sizeof(stack_buf), format, copy);
    va_end(copy);
    if (n < 0)
        return;
    const char* message = stack_buf;
    std::vector<char> heap_buf;
    if (static_cast<size_t>(n) >= sizeof(stack_buf)) {
        heap_buf.resize(static_cast<size_t>(n) + 1);
        vsnprintf(heap_buf.data(), heap_buf.size(), format, args);
        message = heap_buf.data();
    }
    g_sink.load()(level, module, file, function, line, tag, message);
}

void logFilter(int level, const char* module, const char* file, const char* function, int line,
               const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logFilterV(level, module, file, function, line, tag, format, args);
    va_end(args);
}

namespace detail {

void qualifiedName(const char* pretty, char* out, int size) {
    if (size <= 0)
        return;
    // The name ends at the '(' that opens the parameter list: the first '('
    // outside template brackets. It begins after the last space before it
    // outside brackets and parentheses (the space that follows the return
    // type).
    const char* open = nullptr;
    int depth = 0;
    for (const char* p = pretty; *p; ++p) {
        if (*p == '<')
            ++depth;
        else if (*p == '>')
            --depth;
        else if (*p == '(' && depth == 0) {
            // clang names unnamed namespaces "(anonymous namespace)".
            static const char kAnonymous[] = "(anonymous namespace)";
            if (strncmp(p, kAnonymous, sizeof(kAnonymous) - 1) == 0) {
                p += sizeof(kAnonymous) - 2;
                continue;
            }
            // "operator()" keeps its own pair of parentheses.
            if (p - pretty >= 8 && strncmp(p - 8, "operator", 8) == 0 && p[1] == ')') {
                ++p;
                continue;
            }
            open = p;
            break;
        }
    }
    if (!open)
        open = pretty + strlen(pretty);
    const char* begin = pretty;
    depth = 0;
    for (const char* p = open; p > pretty; --p) {
        char c = p[-1];
        if (c == '>' || c == ')')
            ++depth;
        else if (c == '<' || c == '(')
            --depth;
        else if (c == ' ' && depth == 0) {
            begin = p;
            break;
        }
    }
    while (*begin == '*' || *begin == '&')
        ++begin;
    int len = static_cast<int>(open - begin);
    if (len > size - 1)
        len = size - 1;
    memcpy(out, begin, static_cast<size_t>(len));
    out[len] = '\0';
}

void logPretty(int level, const char* file, const char* pretty_function, int line,
               const char* format, ...) {
    char function[256];
    qualifiedName(pretty_function, function, sizeof(function));
    va_list args;
    va_start(args, format);
    logFilterV(level, "Unknown", file, function, line, "Unknown", format, args);
    va_end(args);
}

}  // namespace detail
}  // namespace Mardel
}  // namespace Halvex
