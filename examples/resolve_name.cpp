// Resolving through the DNS manager component: one IPv4 address of a name
// within two seconds, network first and the cache when the network fails.
//   resolve_name localhost
#include <cstdio>
#include <string>

#include "Corvio/IDNSManager.h"
#include "Mardel/Component.h"

using namespace Halvex::Corvio;
using Halvex::Component::IUnknown;
using Halvex::Component::Detail::CComponentHelper;

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "localhost";
    initCorvioDNSManagerComponentLibrary();  // registers "Corvio::DNSManager" once

    IUnknown* client = nullptr;
    auto* factory = dynamic_cast<IDNSManager::IFactory*>(CComponentHelper::getComponentFactory(
        "Corvio::DNSManager", Halvex::Component::ClassID::local,
        Halvex::Component::ServerInfo::none, client));
    IDNSManager* dns =
        factory
            ? dynamic_cast<IDNSManager*>(CComponentHelper::makeComponentInstance(factory->create()))
            : nullptr;
    if (!dns) {
        std::fprintf(stderr, "no DNS manager component\n");
        return 1;
    }
    std::string ip;
    const bool ok = dns->getAddrInfo(name, 0 /* IPv4 */, ip, 2000 /* ms */, DNSModeNetFirst);
    if (ok)
        std::printf("%s %s\n", name, ip.c_str());
    else
        std::fprintf(stderr, "%s: no address\n", name);
    CComponentHelper::release(dns);  // every holder gives its reference back
    CComponentHelper::release(client);
    return ok ? 0 : 1;
}
