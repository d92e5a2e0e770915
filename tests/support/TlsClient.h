// The client half of a TLS pair against a LoopbackServer, for tests and
// benchmarks: a bounded TCP connect, and a reactor handler that sends a
// request over a TLS stream and leaves the reading to a derived class. No
// GoogleTest here: benchmarks compile this file too.
#pragma once

#include <functional>

#include "Sablon/NetHandler.h"
#include "Sablon/SslStream.h"
#include "Sablon/StreamSender.h"
#include "support/LoopbackServer.h"

namespace corvio_test {

// A connected non-blocking TCP stream to `server`, made with new, or null
// when the connect fails or has not ended within about 2 s.
Halvex::Sablon::CSockStream* ConnectTcp(const LoopbackServer& server);

// A reactor handler over a connected TLS stream, driven as the HTTP client
// drives one: Start queues the request on a buffered sender attached to the
// handler and registers the stream for input; the derived class reads in
// handle_input. The handler owns the stream. handle_close detaches and closes
// the sender, removes and deletes the stream, deletes the handler and then
// runs `on_closed`, which therefore must not touch the handler.
class TlsRequestHandler : public Halvex::Sablon::CNetHandler {
public:
    TlsRequestHandler(Halvex::Sablon::CSslStream* tls, std::function<void()> on_closed);

    // 0 when the request is queued; -1 when the sender could not be made or
    // attached, or the input registration failed.
    int Start(const char* request, int len, uint32_t input_timeout_us);

    int handle_output(int handle) override;
    int handle_close(Halvex::Sablon::CNetHandler* handler) override;

protected:
    Halvex::Sablon::CSslStream* const m_tls;

private:
    std::function<void()> m_on_closed;
    Halvex::Sablon::CStreamSender* m_sender = nullptr;
};

}  // namespace corvio_test
