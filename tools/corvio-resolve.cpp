// corvio-resolve: resolves host names through the DNS manager component.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Corvio/IDNSManager.h"
#include "Mardel/Component.h"
#include "Mardel/Log.h"
#include "Mardel/Process.h"
#include "Sablon/Resolver.h"

using Halvex::Component::IUnknown;
using Halvex::Component::Detail::CComponentHelper;
using Halvex::Corvio::DNSMode;
using Halvex::Corvio::IDNSManager;
namespace Sablon = Halvex::Sablon;

namespace {

const char kUsage[] =
    "Usage: corvio-resolve [options] NAME...\n"
    "Resolves each NAME through the DNS manager and prints one line\n"
    "\"NAME ADDRESS\" per address found.\n"
    "\n"
    "Options:\n"
    "  --all            all addresses of both families (up to three of each);\n"
    "                   -6 has no effect then\n"
    "  -6               one IPv6 address (default: one IPv4 address)\n"
    "  --mode MODE      where answers come from:\n"
    "                     net          the network only (default)\n"
    "                     cache        the manager's cache only\n"
    "                     net-first    the network, then the cache\n"
    "                     cache-first  the cache, then the network\n"
    "                   The cache holds what this process resolved before,\n"
    "                   so cache modes matter with --repeat.\n"
    "  --timeout MS     time limit per name (per family with --all) in\n"
    "                   milliseconds; 0 waits without limit (default 5000)\n"
    "  --repeat N       resolve the list N times in a row (default 1)\n"
    "  -v               log progress (level 6) on stderr; by default only\n"
    "                   failures of the library (level 2) are logged, since a\n"
    "                   family without addresses is normal with --all\n"
    "  -q               log nothing\n"
    "  --help           this text\n"
    "\n"
    "A numeric address of the family asked for (IPv4, IPv6 with -6, either\n"
    "with --all) is printed as it is, without a look-up; one of the other\n"
    "family is answered at once with \"not an IPv4 address\" (or IPv6), never\n"
    "looked up.\n"
    "Exit status: 0 every name resolved (every time), 1 some name did not or\n"
    "the output could not be written, 2 usage error.\n";

int usageError(const char* fmt, const char* arg) {
    fprintf(stderr, "corvio-resolve: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry 'corvio-resolve --help'.\n");
    return 2;
}

bool parseNumber(const char* text, unsigned long long max, unsigned long long* out) {
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// Numeric text of the family not asked for: no look-up can turn it into an
// address of the asked one.
bool otherFamilyNumeric(const char* name, bool ipv6) {
    unsigned char bytes[16];
    return Sablon::Inet::parseNumeric(ipv6 ? Sablon::Inet::kFamilyIPv4 : Sablon::Inet::kFamilyIPv6,
                                      name, bytes) == 1;
}

// Writes one answer line; false when the output fails.
bool printLine(const char* name, const char* ip) {
    return printf("%s %s\n", name, ip) >= 0;
}

bool parseMode(const char* text, DNSMode* mode) {
    static const struct {
        const char* name;
        DNSMode mode;
    } kModes[] = {{"net", Halvex::Corvio::DNSModeNetOnly},
                  {"cache", Halvex::Corvio::DNSModeCacheOnly},
                  {"net-first", Halvex::Corvio::DNSModeNetFirst},
                  {"cache-first", Halvex::Corvio::DNSModeCacheFirst}};
    for (const auto& m : kModes) {
        if (strcmp(text, m.name) == 0) {
            *mode = m.mode;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool all = false;
    int family = 0;
    DNSMode mode = Halvex::Corvio::DNSModeNetOnly;
    unsigned long long timeout = 5000;
    unsigned long long repeat = 1;
    int log_level = 2;
    std::vector<const char*> names;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (strcmp(arg, "--all") == 0) {
            all = true;
        } else if (strcmp(arg, "-6") == 0) {
            family = 1;
        } else if (strcmp(arg, "-v") == 0) {
            log_level = 6;
        } else if (strcmp(arg, "-q") == 0) {
            log_level = 0;
        } else if (strcmp(arg, "--mode") == 0) {
            const char* v = value();
            if (!v)
                return usageError("%s needs a value", arg);
            if (!parseMode(v, &mode))
                return usageError("unknown mode '%s'", v);
        } else if (strcmp(arg, "--timeout") == 0) {
            const char* v = value();
            if (!v)
                return usageError("%s needs a value", arg);
            if (!parseNumber(v, 86400000ULL, &timeout))
                return usageError("bad time limit '%s' (milliseconds, 0 to 86400000)", v);
        } else if (strcmp(arg, "--repeat") == 0) {
            const char* v = value();
            if (!v)
                return usageError("%s needs a value", arg);
            if (!parseNumber(v, 1000000ULL, &repeat) || repeat == 0)
                return usageError("bad repeat count '%s' (1 to 1000000)", v);
        } else if (strcmp(arg, "--") == 0) {
            for (++i; i < argc; ++i)
                names.push_back(argv[i]);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usageError("unknown option '%s'", arg);
        } else {
            names.push_back(arg);
        }
    }
    if (names.empty())
        return usageError("%s", "no NAME given");
    for (const char* name : names)
        if (!*name)
            return usageError("%s", "empty NAME");
    Halvex::Mardel::setPrintLogLevel(log_level);

    initCorvioDNSManagerComponentLibrary();
    IUnknown* client = nullptr;
    auto* factory = dynamic_cast<IDNSManager::IFactory*>(CComponentHelper::getComponentFactory(
        "Corvio::DNSManager", Halvex::Component::ClassID::local,
        Halvex::Component::ServerInfo::none, client));
    IDNSManager* manager = nullptr;
    if (factory)
        manager =
            dynamic_cast<IDNSManager*>(CComponentHelper::makeComponentInstance(factory->create()));
    if (!manager) {
        fprintf(stderr, "corvio-resolve: the DNS manager component is not available\n");
        CComponentHelper::release(client);
        return 1;
    }

    bool every = true;
    bool written = true;
    const char* family_name = family ? "IPv6" : "IPv4";
    for (unsigned long long round = 0; round < repeat && written; ++round) {
        for (const char* name : names) {
            if (all) {
                std::set<std::string> ips;
                if (manager->getAddrInfoAll(name, ips, timeout, mode) && !ips.empty()) {
                    for (const std::string& ip : ips)
                        written = printLine(name, ip.c_str()) && written;
                } else {
                    fprintf(stderr, "corvio-resolve: %s: no address\n", name);
                    every = false;
                }
            } else if (otherFamilyNumeric(name, family != 0)) {
                fprintf(stderr, "corvio-resolve: %s: not an %s address\n", name, family_name);
                every = false;
            } else {
                std::string ip;
                if (manager->getAddrInfo(name, family, ip, timeout, mode)) {
                    written = printLine(name, ip.c_str()) && written;
                } else {
                    fprintf(stderr, "corvio-resolve: %s: no %s address\n", name, family_name);
                    every = false;
                }
            }
        }
        written = fflush(stdout) == 0 && !ferror(stdout) && written;
    }
    if (!written)
        fprintf(stderr, "corvio-resolve: cannot write the output: %s\n", strerror(errno));

    CComponentHelper::release(manager);
    CComponentHelper::release(client);
    // A look-up that outlived its time limit may still be running inside the
    // system resolver; the manager would wait for it at exit. The answers are
    // out, so leave without that wait.
    fflush(stderr);
    Halvex::Mardel::quickExit(every && written ? 0 : 1);
}
