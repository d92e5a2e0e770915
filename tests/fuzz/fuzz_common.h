// Shared by the fuzz targets.
#pragma once

#include <cstdlib>

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

// A broken invariant aborts, so that libFuzzer keeps the input.
inline void check(bool ok) {
    if (!ok)
        abort();
}

}  // namespace fuzz_common
