// CHttpDownloader::ParseURL with each address kind, and detail::IsHeadRequest,
// on arbitrary bytes.
//
// Input: the URL text; a NUL byte ends it, as it would for a C caller. The
// whole input, NUL bytes included, is also the request text for
// IsHeadRequest.
//
// No input reaches a name server: this program supplies getaddrinfo itself.
// Numeric look-ups (AI_NUMERICHOST) go to the system's function; every name
// is refused at once, as an unknown name would be, without asking anyone.
//
// Checked: no crash or sanitizer report; an accepted URL has its target at a
// '/' inside the text, a port of 1 to 65535, and no byte of 0x20 or less or
// 0x7f in the target; the three kinds agree on the target; the storage kind
// accepts exactly when the IPv4 or the IPv6 kind does (names being refused);
// the GET request rendered from an accepted URL, as Init(url) renders it,
// parses back with that target; IsHeadRequest is true only for a text whose
// method, read up to a NUL as the parser reads texts, is HEAD.
#include <dlfcn.h>
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Sablon/SockAddr.h"
#include "fuzz_common.h"

using namespace Halvex::Corvio;
using namespace Halvex::Sablon;

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
    using Fn = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Fn system_getaddrinfo = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (hints == nullptr || !(hints->ai_flags & AI_NUMERICHOST) || system_getaddrinfo == nullptr)
        return EAI_NONAME;
    return system_getaddrinfo(node, service, hints, res);
}

namespace {

using fuzz_common::check;

struct Parsed {
    int result;
    int path_offset;
    unsigned short port;
};

Parsed parse_with(const char* url, CSockAddr& addr) {
    Parsed p;
    p.path_offset = -7;  // a value ParseURL never gives
    p.result = CHttpDownloader::ParseURL(url, addr, p.path_offset);
    p.port = addr.GetPort();
    return p;
}

// What Init(url) does after ParseURL, short of connecting: render the GET
// request and read it back.
void check_rendered_request(const char* url, const Parsed& p, const CSockAddr& addr) {
    char host[128] = {};
    check(addr.GetIpStr(host, 127) == 0);
    const char* target = p.path_offset > 0 ? url + p.path_offset : "/";
    std::string request;
    detail::RenderGetRequest(target, host, p.port, std::string(), request);
    CHttpParser parser;
    parser.SetHeaderOnly(true);
    check(parser.Parse(request.data(), static_cast<int>(request.size())) == HTTP_PARSE_COMPLETE);
    check(parser.GetReqMethod() != nullptr && std::strcmp(parser.GetReqMethod(), "GET") == 0);
    check(parser.GetURI() != nullptr && std::strcmp(parser.GetURI(), target) == 0);
    check(parser.Value("Host") != nullptr);
}

void check_url(const char* url) {
    const size_t url_len = std::strlen(url);
    CSockAddrIPv4 v4;
    CSockAddrIPv6 v6;
    CSockAddrStorage any;
    const Parsed p4 = parse_with(url, v4);
    const Parsed p6 = parse_with(url, v6);
    const Parsed ps = parse_with(url, any);
    const Parsed* all[] = {&p4, &p6, &ps};
    for (const Parsed* p : all) {
        check(p->result == 0 || p->result < 0);
        if (p->result != 0)
            continue;
        check(url_len <= static_cast<size_t>(kMaxUrlLen));
        check(p->port >= 1);
        if (p->path_offset != -1) {
            check(p->path_offset > 0 && static_cast<size_t>(p->path_offset) < url_len);
            check(url[p->path_offset] == '/');
            for (const char* c = url + p->path_offset; *c; ++c)
                check(static_cast<unsigned char>(*c) > 0x20 && *c != 0x7f);
        }
    }
    if (p4.result == 0 && p6.result == 0)
        check(p4.path_offset == p6.path_offset && p4.port == p6.port);
    check((ps.result == 0) == (p4.result == 0 || p6.result == 0));
    if (ps.result == 0) {
        const Parsed& other = p4.result == 0 ? p4 : p6;
        check(ps.path_offset == other.path_offset && ps.port == other.port);
        check_rendered_request(url, ps, any);
    }
    if (p4.result == 0)
        check(v4.GetFamily() == 4);
    if (p6.result == 0)
        check(v6.GetFamily() == 6);
}

void check_head(const uint8_t* data, size_t size) {
    const char* request = reinterpret_cast<const char*>(data);
    const int len = static_cast<int>(size);
    if (!detail::IsHeadRequest(request, len))
        return;
    int i = 0;
    while (i < len && (request[i] == '\r' || request[i] == '\n'))
        ++i;
    // The parser reads a text that holds a NUL as ending there, the method
    // included.
    check(len - i >= 5 && text::equal_nocase(std::string_view(request + i, 4), "head") &&
          (request[i + 4] == ' ' || request[i + 4] == '\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_common::quiet_log();
    if (size > 4096)
        return 0;
    const std::string url(reinterpret_cast<const char*>(data), size);
    check_url(url.c_str());
    check_head(data, size);
    return 0;
}
