#include "support/TlsClient.h"

#include <chrono>
#include <thread>
#include <utility>

#include "Sablon/SockAddr.h"

using namespace Halvex::Sablon;

namespace corvio_test {

CSockStream* ConnectTcp(const LoopbackServer& server) {
    CSockAddrStorage addr;
    if (addr.SetIp(server.Host()) != 0)
        return nullptr;
    addr.SetPort(server.Port());
    auto* tcp = new CSockStream();
    if (tcp->Connect(addr, nullptr) == 0) {
        for (int i = 0; i < 1000; ++i) {
            int status = tcp->GetConnectStatus();
            if (status == 0)
                return tcp;
            if (status == -2)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    delete tcp;
    return nullptr;
}

TlsRequestHandler::TlsRequestHandler(CSslStream* tls, std::function<void()> on_closed)
    : m_tls(tls), m_on_closed(std::move(on_closed)) {}

int TlsRequestHandler::Start(const char* request, int len, uint32_t input_timeout_us) {
    m_sender = CStreamSender::Create();
    if (!m_sender || m_sender->Attach(this, m_tls) != 0)
        return -1;
    if (RegisterSock(*m_tls, MASK_INPUT, input_timeout_us) != 0)
        return -1;
    return m_sender->Put(request, len);
}

int TlsRequestHandler::handle_output(int handle) {
    return m_sender ? m_sender->handle_output(handle) : 0;
}

int TlsRequestHandler::handle_close(CNetHandler*) {
    if (m_sender) {
        m_sender->Detach();
        m_sender->Clear();
        m_sender->Close();
    }
    RemoveSock(*m_tls);
    delete m_tls;
    std::function<void()> on_closed = std::move(m_on_closed);
    delete this;
    if (on_closed)
        on_closed();
    return 0;
}

}  // namespace corvio_test
