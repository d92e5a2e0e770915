// Shared by the fuzz targets: FUZZ_TARGET(min, max) { ... } defines the
// entry point, which formats every log line (level 6) into a sink that drops
// it and runs the body on inputs of min to max bytes (`data`, and as text `in`). A broken
// invariant calls on_broken(): abort, so that libFuzzer keeps the input; a
// unit test that shares the checks sets its own.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "Mardel/Log.h"

namespace fuzz_common {

inline void (*&on_broken())() {
    static void (*handler)() = &abort;
    return handler;
}

inline void check(bool ok) {
    if (!ok)
        on_broken()();
}

inline void quiet_log() {
    static const bool quiet = [] {
        Halvex::Mardel::setLogSink(
            [](int, const char*, const char*, const char*, int, const char*, const char*) {});
        return Halvex::Mardel::setPrintLogLevel(6), true;
    }();
    (void)quiet;
}

}  // namespace fuzz_common

#define FUZZ_TARGET(min, max)                                                       \
    static void fuzz_one(const uint8_t* data, const std::string& in);               \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {       \
        fuzz_common::quiet_log();                                                   \
        if (size - (min) <= (max) - (min))                                          \
            fuzz_one(data, std::string(reinterpret_cast<const char*>(data), size)); \
        return 0;                                                                   \
    }                                                                               \
    static void fuzz_one(const uint8_t* data, const std::string& in)
