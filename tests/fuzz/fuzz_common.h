// Shared by the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Mardel/Log.h"

namespace fuzz_common {

inline void discard(int, const char*, const char*, const char*, int, const char*, const char*) {}

// Every log line is formatted (level 6: all format paths run), then dropped.
// Once per process; call at the start of each input.
inline void quiet_log() {
    static const bool quiet = [] {
        Halvex::Mardel::setLogSink(&discard);
        Halvex::Mardel::setPrintLogLevel(6);
        return true;
    }();
    (void)quiet;
}

// What a broken invariant calls: abort, so that libFuzzer keeps the input; a
// unit test that shares the checks sets its own.
inline void (*&on_broken())() {
    static void (*handler)() = &abort;
    return handler;
}

inline void check(bool ok) {
    if (!ok)
        on_broken()();
}

// Bytes of the input as text.
inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz_common
