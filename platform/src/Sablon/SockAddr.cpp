#include "Sablon/SockAddr.h"

#include <cstring>

#include "SockIo.h"

namespace Halvex {
namespace Sablon {

static_assert(sizeof(sockaddr_storage) <= 128, "address storage too small");

namespace {

int af_of(int family) {
    if (family == 4)
        return AF_INET;
    if (family == 6)
        return AF_INET6;
    return AF_UNSPEC;
}

// First address of `af` (AF_UNSPEC: of either family) that getaddrinfo gives
// for `text`; `numeric_only` forbids a name look-up. Copies it into `out`
// and returns its length, or 0 when none results.
int lookup(const char* text, int af, bool numeric_only, sockaddr_storage* out) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = af;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    sock_io::startup();
    if (getaddrinfo(text, nullptr, &hints, &list) != 0 || list == nullptr)
        return 0;
    int len = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        if (af != AF_UNSPEC && ai->ai_family != af)
            continue;
        if (ai->ai_addrlen > sizeof(*out))
            continue;
        memcpy(out, ai->ai_addr, ai->ai_addrlen);
        len = static_cast<int>(ai->ai_addrlen);
        break;
    }
    freeaddrinfo(list);
    return len;
}

}  // namespace

CSockAddr::CSockAddr() : m_storage(), m_len(0), m_port(0) {}

CSockAddr::~CSockAddr() = default;

int CSockAddr::SetPort(unsigned short port) {
    m_port = port;
    if (m_len > 0) {
        sockaddr_storage* ss = reinterpret_cast<sockaddr_storage*>(m_storage);
        if (ss->ss_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(ss)->sin_port = htons(port);
        else if (ss->ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(ss)->sin6_port = htons(port);
    }
    return 0;
}

unsigned short CSockAddr::GetPort() const {
    return m_port;
}

int CSockAddr::GetFamily() const {
    if (m_len <= 0)
        return 0;
    const sockaddr_storage* ss = reinterpret_cast<const sockaddr_storage*>(m_storage);
    return ss->ss_family == AF_INET6 ? 6 : 4;
}

int CSockAddr::GetIpStr(char* buf, int size) const {
    if (buf == nullptr || size <= 0)
        return -1;
    buf[0] = '\0';
    if (m_len <= 0)
        return -1;
    // Numeric host text; an IPv6 scope is written as "%zone" (RFC 4007
    // section 11), never with brackets.
    char text[NI_MAXHOST];
    sock_io::startup();
    if (getnameinfo(reinterpret_cast<const sockaddr*>(m_storage), static_cast<socklen_t>(m_len),
                    text, sizeof(text), nullptr, 0, NI_NUMERICHOST) != 0)
        return -1;
    size_t len = strlen(text);
    if (len + 1 > static_cast<size_t>(size))
        return -1;
    memcpy(buf, text, len + 1);
    return 0;
}

const void* CSockAddr::GetSockAddr() const {
    return m_len > 0 ? m_storage : nullptr;
}

int CSockAddr::GetSockAddrLen() const {
    return m_len;
}

int CSockAddr::SetSockAddr(const void* sockaddr_in_any, int len) {
    if (sockaddr_in_any == nullptr || len < static_cast<int>(sizeof(sockaddr_storage::ss_family)))
        return -1;
    sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    memcpy(&ss, sockaddr_in_any,
           static_cast<size_t>(len) < sizeof(ss) ? static_cast<size_t>(len) : sizeof(ss));
    int family;
    unsigned short port;
    int need;
    if (ss.ss_family == AF_INET) {
        family = 4;
        need = sizeof(sockaddr_in);
        port = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        family = 6;
        need = sizeof(sockaddr_in6);
        port = ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    } else {
        return -1;
    }
    if (len < need)
        return -1;
    int type = GetType();
    if ((type == TYPE_IPV4 && family != 4) || (type == TYPE_IPV6 && family != 6))
        return -1;
    memset(m_storage, 0, sizeof(m_storage));
    memcpy(m_storage, &ss, static_cast<size_t>(need));
    m_len = need;
    m_port = port;
    return 0;
}

int CSockAddr::set_ip_of_family(const char* text, int family) {
    if (text == nullptr || text[0] == '\0')
        return -1;
    int af = af_of(family);
    sockaddr_storage ss;
    memset(&ss, 0, sizeof(ss));
    int len = lookup(text, af, true, &ss);
    if (len == 0) {
        // Numeric text of the other family is no name: do not ask the
        // resolver about it.
        sockaddr_storage probe;
        if (af != AF_UNSPEC && lookup(text, AF_UNSPEC, true, &probe) != 0)
            return -1;
        len = lookup(text, af, false, &ss);
    }
    if (len == 0)
        return -1;
    memset(m_storage, 0, sizeof(m_storage));
    memcpy(m_storage, &ss, static_cast<size_t>(len));
    m_len = len;
    return SetPort(m_port);
}

CSockAddrIPv4::CSockAddrIPv4(const char* ip, unsigned short port) {
    SetPort(port);
    SetIp(ip);
}

int CSockAddrIPv4::SetIp(const char* text) {
    return set_ip_of_family(text, 4);
}

CSockAddrIPv6::CSockAddrIPv6(const char* ip, unsigned short port) {
    SetPort(port);
    SetIp(ip);
}

int CSockAddrIPv6::SetIp(const char* text) {
    return set_ip_of_family(text, 6);
}

CSockAddrStorage& CSockAddrStorage::operator=(const CSockAddr& other) {
    if (this != &other)
        CSockAddr::operator=(other);
    return *this;
}

int CSockAddrStorage::SetIp(const char* text) {
    return set_ip_of_family(text, 0);
}

}  // namespace Sablon
}  // namespace Halvex
