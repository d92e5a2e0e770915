#include "Sablon/Resolver.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "SockIo.h"

namespace Halvex {
namespace Sablon {

static_assert(Inet::kFamilyIPv4 == AF_INET, "IPv4 family number");
static_assert(Inet::kFamilyIPv6 == AF_INET6, "IPv6 family number");

namespace Inet {

int parseNumeric(int family, const char* text, void* out) {
    if (!text || !out || (family != AF_INET && family != AF_INET6))
        return 0;
    return inet_pton(family, text, out) == 1 ? 1 : 0;
}

bool formatNumeric(int family, const void* src, char* dst, unsigned int size) {
    if (!src || !dst || (family != AF_INET && family != AF_INET6))
        return false;
    return inet_ntop(family, src, dst, static_cast<socklen_t>(size)) != nullptr;
}

int lastSocketError() {
    return sock_io::last_error();
}

}  // namespace Inet

namespace {

ResolveError errorKind(int code) {
    switch (code) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return ResolveError::notFound;
        case EAI_AGAIN:
        case EAI_MEMORY:
#ifdef EAI_SYSTEM
        case EAI_SYSTEM:
#endif
            return ResolveError::temporary;
        default:  // EAI_FAIL, and arguments the resolver refuses
            return ResolveError::permanent;
    }
}

std::mutex g_resolver_mutex;
std::shared_ptr<const ResolverFunction> g_resolver;  // null: the system resolver

}  // namespace

ResolveResult systemResolve(const std::string& name, int family) {
    ResolveResult out;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    sock_io::startup();
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        if (list)
            freeaddrinfo(list);
        out.error = errorKind(rc);
        out.error_text = gai_strerror(rc);
        return out;
    }
    for (const struct addrinfo* ai = list; ai; ai = ai->ai_next) {
        ResolvedAddress entry;
        entry.family = ai->ai_family;
        if (ai->ai_addr && ai->ai_family == AF_INET &&
            ai->ai_addrlen >= sizeof(struct sockaddr_in)) {
            const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ai->ai_addr);
            memcpy(entry.bytes, &sin->sin_addr, 4);
            entry.length = 4;
        } else if (ai->ai_addr && ai->ai_family == AF_INET6 &&
                   ai->ai_addrlen >= sizeof(struct sockaddr_in6)) {
            const auto* sin6 = reinterpret_cast<const struct sockaddr_in6*>(ai->ai_addr);
            memcpy(entry.bytes, &sin6->sin6_addr, 16);
            entry.length = 16;
        }
        out.addresses.push_back(entry);
    }
    freeaddrinfo(list);
    return out;
}

ResolveResult resolve(const std::string& name, int family) {
    std::shared_ptr<const ResolverFunction> fn;
    {
        std::lock_guard<std::mutex> lock(g_resolver_mutex);
        fn = g_resolver;
    }
    return fn ? (*fn)(name, family) : systemResolve(name, family);
}

void setResolver(ResolverFunction fn) {
    std::shared_ptr<const ResolverFunction> next;
    if (fn)
        next = std::make_shared<const ResolverFunction>(std::move(fn));
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    g_resolver = std::move(next);
}

}  // namespace Sablon
}  // namespace Halvex
