#include "support/TlsClient.h"

#include <chrono>
#include <thread>

#include "Sablon/SockAddr.h"

using namespace Halvex::Sablon;

namespace corvio_test {

CSockStream* ConnectTcp(const LoopbackServer& server) {
    CSockAddrStorage addr;
    auto* tcp = new CSockStream();
    if (addr.SetIp(server.Host()) == 0 && addr.SetPort(server.Port()) == 0 &&
        tcp->Connect(addr, nullptr) == 0) {
        for (int i = 0; i < 1000 && tcp->GetConnectStatus() != -2; ++i) {
            if (tcp->GetConnectStatus() == 0)
                return tcp;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    delete tcp;
    return nullptr;
}

}  // namespace corvio_test
