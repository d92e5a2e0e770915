// URL splitting, the downloader's request text, HEAD detection and the
// start of a download from a URL.
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Sablon/Resolver.h"

namespace Halvex {
namespace Corvio {

namespace {

// A port text of digits only, 1 to 65535.
bool ParsePort(const std::string& text, unsigned short& port) {
    if (text.empty() || text.size() > 5)
        return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

// Keeps `pem_path` for the next download and turns TLS on for it; false,
// with nothing changed, when the path is missing or does not fit. A download
// already running keeps its own settings.
bool UseSsl(CHttpDownloaderImpl& d, const char* pem_path) {
    if (pem_path == nullptr || std::strlen(pem_path) >= static_cast<size_t>(kPemPathSize))
        return false;
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(d.m_mutex);
    if (d.m_buf == nullptr) {
        std::snprintf(d.m_pem_path, sizeof(d.m_pem_path), "%s", pem_path);
        d.m_use_ssl = true;
    }
    return true;
}

// A URL taken apart: the host text (without brackets), whether it stood in
// brackets, the port (the scheme's default when none is given) and the offset
// of the target ("/..."), -1 when there is none.
struct UrlParts {
    std::string host;
    bool bracketed = false;
    unsigned short port = 0;
    int path_offset = -1;
};

// Splits `copy`, a URL of at most kMaxUrlLen characters; false when it has no
// scheme text, a byte that may not go onto the wire, an unclosed "[" or a bad
// port.
bool SplitUrl(const std::string& copy, UrlParts& parts) {
    // The scheme text that occurs first decides; text before it is ignored.
    const size_t http = copy.find("http://");
    const size_t https = copy.find("https://");
    size_t scheme;
    size_t scheme_len;
    if (http == std::string::npos && https == std::string::npos)
        return false;
    if (https == std::string::npos || (http != std::string::npos && http < https)) {
        scheme = http;
        scheme_len = 7;
        parts.port = 80;
    } else {
        scheme = https;
        scheme_len = 8;
        parts.port = 443;
    }

    // Host and target go onto the wire: no white space or control character.
    for (size_t i = scheme; i < copy.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(copy[i]);
        if (c <= 0x20 || c == 0x7f)
            return false;
    }

    const size_t host_begin = scheme + scheme_len;
    const size_t slash = copy.find('/', host_begin);
    std::string hostport;
    if (slash == std::string::npos) {
        parts.path_offset = -1;
        hostport = copy.substr(host_begin);
    } else {
        parts.path_offset = static_cast<int>(slash);
        hostport = copy.substr(host_begin, slash - host_begin);
    }

    std::string port_text;
    bool has_port = false;
    parts.bracketed = !hostport.empty() && hostport[0] == '[';
    if (parts.bracketed) {
        const size_t close = hostport.find(']');
        if (close == std::string::npos)
            return false;
        parts.host = hostport.substr(1, close - 1);
        const std::string rest = hostport.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            has_port = true;
            port_text = rest.substr(1);
        }
    } else {
        const size_t colon = hostport.find(':');
        if (colon == std::string::npos) {
            parts.host = hostport;
        } else {
            parts.host = hostport.substr(0, colon);
            has_port = true;
            port_text = hostport.substr(colon + 1);
        }
    }
    // An empty port after ":" means the scheme's default (RFC 3986 section 3.2.3).
    return !has_port || port_text.empty() || ParsePort(port_text, parts.port);
}

// The host of a URL is an address when it is an IP-literal in brackets or
// numeric address text (RFC 3986 section 3.2.2); anything else is a name.
bool IsAddress(const UrlParts& parts) {
    unsigned char bytes[16];
    return parts.bracketed ||
           Sablon::Inet::parseNumeric(Sablon::Inet::kFamilyIPv4, parts.host.c_str(), bytes) ||
           Sablon::Inet::parseNumeric(Sablon::Inet::kFamilyIPv6, parts.host.c_str(), bytes);
}

}  // namespace

namespace detail {

uint32_t ReactorTimeout(unsigned long long timeout_us) {
    const unsigned long long max = std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(timeout_us > max ? max : timeout_us);
}

uint32_t HandshakeTimeoutMs(unsigned long long timeout_us) {
    if (timeout_us == 0)
        return 5000;
    const unsigned long long max = std::numeric_limits<uint32_t>::max();
    unsigned long long ms = timeout_us / 1000 + (timeout_us % 1000 != 0 ? 1 : 0);
    return static_cast<uint32_t>(ms > max ? max : ms);
}

bool IsHeadRequest(const char* request, int len) {
    CHttpParser parser;
    parser.SetHeaderOnly(true);
    if (request != nullptr && len > 0 && parser.Parse(request, len) == HTTP_PARSE_COMPLETE &&
        parser.GetReqMethod() != nullptr) {
        return text::equal_nocase(parser.GetReqMethod(), "HEAD");
    }
    MARDEL_LOG(3, "parse request type failed!\n");
    return false;
}

void RenderGetRequest(const char* target, const char* host, unsigned short port,
                      const std::string& authorization, std::string& out) {
    // RFC 9110 section 7.2 / RFC 3986 section 3.2.2: an IPv6 literal in the
    // Host field stands in brackets.
    const bool ipv6 = std::strchr(host, ':') != nullptr;
    out = "GET ";
    out += target;
    out += " HTTP/1.1\r\nAccept: */*\r\nHost: ";
    if (ipv6)
        out += '[';
    out += host;
    if (ipv6)
        out += ']';
    out += ':';
    out += std::to_string(port);
    out += "\r\nConnection: close\r\n";
    if (!authorization.empty()) {
        out += "Authorization: ";
        out += authorization;
        out += "\r\n";
    }
    out += "\r\n";
}

}  // namespace detail

int CHttpDownloader::ParseURL(const char* url, Sablon::CSockAddr& addr, int& path_offset) {
    if (url == nullptr)
        return -1;
    const size_t url_len = std::strlen(url);
    if (url_len > static_cast<size_t>(kMaxUrlLen)) {
        MARDEL_LOG(2, "url too long: %zu characters, at most %d\n", url_len, kMaxUrlLen);
        return -1;
    }
    UrlParts parts;
    if (!SplitUrl(std::string(url, url_len), parts))
        return -1;
    path_offset = parts.path_offset;
    const std::string& host = parts.host;
    const unsigned short port = parts.port;

    int result = -1;
    const int type = addr.GetType();
    if (type == Sablon::CSockAddr::TYPE_IPV4 || type == Sablon::CSockAddr::TYPE_IPV6 ||
        type == Sablon::CSockAddr::TYPE_STORAGE) {
        addr.SetPort(port);
        if (!host.empty())
            result = addr.SetIp(host.c_str());
    } else {
        MARDEL_LOG(2, "invalid addr type: %d\n", type);
    }
    if (result < 0)
        MARDEL_LOG(2, "host resolve failed!\n");
    return result;
}

int CHttpDownloader::Init(const char* url) try {
    CHttpDownloaderImpl* d = m_impl;
    {
        Mardel::CGuard<Mardel::CRecursiveMutex> lock(d->m_mutex);
        if (d->m_buf != nullptr) {
            // A running download keeps its phase and address.
            MARDEL_LOG(2, "cannot download again!\n");
            return -1;
        }
    }
    SetCurrentPhrase(PHRASE_PARSE_URL);
    int path_offset = -1;
    if (ParseURL(url, d->m_addr, path_offset) < 0) {
        MARDEL_LOG(2, "ParseURL failed!\n");
        return -1;
    }
    // RFC 9110 section 7.2: Host carries the URL's authority. A name is
    // written as the URL has it, since servers choose the site by it; for an
    // address, the numeric text of the address connected to.
    char host[128] = {};
    if (d->m_addr.GetIpStr(host, 127) != 0) {
        MARDEL_LOG(2, "host resolve failed!\n");
        return -1;
    }
    UrlParts parts;
    SplitUrl(url, parts);
    const char* target = path_offset > 0 ? url + path_offset : "/";
    // Basic before any challenge (RFC 7617 section 2), never with a Digest HA1.
    std::string authorization;
    if (!d->m_username.empty() && d->m_www_authenticate.empty() && d->m_password_type == 0) {
        if (!CHttpAuth::auth_basic(d->m_username, d->m_password, authorization))
            return -1;
    }
    std::string request;
    detail::RenderGetRequest(target, IsAddress(parts) ? host : parts.host.c_str(),
                             d->m_addr.GetPort(), authorization, request);
    if (request.size() > static_cast<size_t>(kMaxRequestLen)) {
        MARDEL_LOG(2, "request too long: %zu characters, at most %d\n", request.size(),
                   kMaxRequestLen);
        return -1;
    }
    return Init(d->m_addr, request.c_str(), static_cast<int>(request.size()));
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

int CHttpDownloader::InitUseSsl(const char* url, const char* pem_path) {
    if (!UseSsl(*m_impl, pem_path)) {
        MARDEL_LOG(2, "ssl path error!\n");
        return -1;
    }
    return Init(url);
}

int CHttpDownloader::InitUseSsl(const Sablon::CSockAddr& addr, const char* request, int len,
                                const char* pem_path) {
    if (!UseSsl(*m_impl, pem_path)) {
        MARDEL_LOG(2, "ssl path error!\n");
        return -1;
    }
    return Init(addr, request, len);
}

}  // namespace Corvio
}  // namespace Halvex
