// Socket addresses: an address of one family (or either, for the storage
// kind) and a port. SetIp takes numeric text first and otherwise looks the
// name up with the system resolver (blocking): the IPv4 and IPv6 kinds take
// the first address of their family, the storage kind the first address of
// any family. The port may be set before or after the address.
#pragma once

#include "Sablon/Export.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CSockAddr {
public:
    enum Type { TYPE_IPV4 = 1, TYPE_IPV6 = 2, TYPE_STORAGE = 3 };

    virtual ~CSockAddr();

    // 1 CSockAddrIPv4, 2 CSockAddrIPv6, 3 CSockAddrStorage.
    virtual int GetType() const = 0;
    // Numeric text or a host name; 0 on success, -1 when no address results
    // (the address held before is then unchanged).
    virtual int SetIp(const char* text) = 0;

    int SetPort(unsigned short port);
    unsigned short GetPort() const;
    // Numeric text of the address (IPv6 without brackets) into `buf` of `size`
    // bytes, NUL-terminated; 0 on success, -1 when no address is set or the
    // text does not fit.
    int GetIpStr(char* buf, int size) const;
    // An address has been set.
    bool IsSet() const { return m_len > 0; }
    // 4 or 6 once an address is set, 0 before.
    int GetFamily() const;

    // The system's socket address (struct sockaddr) with the port applied,
    // and its length; for the platform layer. Null and 0 when none is set.
    const void* GetSockAddr() const;
    int GetSockAddrLen() const;
    // Takes a system socket address of family IPv4 or IPv6 (its port too);
    // -1 when the family does not suit this kind.
    int SetSockAddr(const void* sockaddr, int len);

protected:
    CSockAddr();
    CSockAddr(const CSockAddr&) = default;
    CSockAddr& operator=(const CSockAddr&) = default;

    // Numeric text, then a resolver look-up restricted to `family` (4, 6, or 0
    // for any).
    int set_ip_of_family(const char* text, int family);

private:
    alignas(8) unsigned char m_storage[128];
    int m_len;
    unsigned short m_port;
};

class SABLON_API CSockAddrIPv4 : public CSockAddr {
public:
    CSockAddrIPv4() = default;
    CSockAddrIPv4(const char* ip, unsigned short port);
    int GetType() const override { return TYPE_IPV4; }
    int SetIp(const char* text) override;
};

class SABLON_API CSockAddrIPv6 : public CSockAddr {
public:
    CSockAddrIPv6() = default;
    CSockAddrIPv6(const char* ip, unsigned short port);
    int GetType() const override { return TYPE_IPV6; }
    int SetIp(const char* text) override;
};

// Holds an address of either family; copyable and assignable from any kind.
class SABLON_API CSockAddrStorage : public CSockAddr {
public:
    CSockAddrStorage() = default;
    CSockAddrStorage(const CSockAddrStorage& other) = default;
    CSockAddrStorage& operator=(const CSockAddrStorage& other) = default;
    CSockAddrStorage& operator=(const CSockAddr& other);
    int GetType() const override { return TYPE_STORAGE; }
    int SetIp(const char* text) override;
};

}  // namespace Sablon
}  // namespace Halvex
