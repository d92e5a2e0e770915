// The client half of a TLS pair against a LoopbackServer, for tests and
// benchmarks. No GoogleTest here: benchmarks compile this file too.
#pragma once

#include "Sablon/Sock.h"
#include "support/LoopbackServer.h"

namespace corvio_test {

// A connected non-blocking TCP stream to `server`, made with new, or null
// when the connect fails or has not ended within about 2 s.
Halvex::Sablon::CSockStream* ConnectTcp(const LoopbackServer& server);

}  // namespace corvio_test
