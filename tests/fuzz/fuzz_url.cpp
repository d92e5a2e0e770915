// CHttpDownloader::ParseURL with each address kind on arbitrary bytes (the
// URL ends at the first NUL, as for a C caller), and detail::IsHeadRequest on
// the whole input. This program's getaddrinfo refuses every name at once.
// Checked: an accepted URL has its target at a '/' inside the text, a port of
// 1 to 65535 and no byte of 0x20 or less or 0x7f in the target; the kinds
// agree on target and port; the storage kind accepts exactly when the IPv4 or
// the IPv6 kind does; the GET request rendered from it, as Init(url) does,
// parses back with that target; IsHeadRequest is true only for a text whose
// method, read up to a NUL as the parser reads texts, is HEAD.
#include <dlfcn.h>
#include <netdb.h>

#include <cstring>
#include <string_view>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "fuzz_common.h"

using namespace Halvex::Corvio;
using namespace Halvex::Sablon;
using fuzz_common::check;

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
    using Fn = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Fn system_getaddrinfo = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (hints == nullptr || !(hints->ai_flags & AI_NUMERICHOST) || system_getaddrinfo == nullptr)
        return EAI_NONAME;
    return system_getaddrinfo(node, service, hints, res);
}

namespace {

struct Parsed {
    int result;
    int path_offset = -7;  // a value ParseURL never gives
    unsigned short port;
    Parsed(const char* url, CSockAddr& addr) {
        result = CHttpDownloader::ParseURL(url, addr, path_offset);
        port = addr.GetPort();
        check(result <= 0);
        if (result != 0)
            return;
        check(strlen(url) <= static_cast<size_t>(kMaxUrlLen) && port >= 1);
        if (path_offset == -1)
            return;
        check(path_offset > 0 && static_cast<size_t>(path_offset) < strlen(url) &&
              url[path_offset] == '/');
        for (const char* c = url + path_offset; *c; ++c)
            check(static_cast<unsigned char>(*c) > 0x20 && *c != 0x7f);
    }
    bool same(const Parsed& o) const { return path_offset == o.path_offset && port == o.port; }
};

void check_url(const char* url) {
    CSockAddrIPv4 v4;
    CSockAddrIPv6 v6;
    CSockAddrStorage any;
    const Parsed p4(url, v4), p6(url, v6), ps(url, any);
    check(p4.result || p6.result || p4.same(p6));
    check((ps.result == 0) == (p4.result == 0 || p6.result == 0));
    check((p4.result || v4.GetFamily() == 4) && (p6.result || v6.GetFamily() == 6));
    if (ps.result != 0)
        return;
    check(ps.same(p4.result == 0 ? p4 : p6));
    // What Init(url) does after ParseURL, short of connecting.
    char host[128] = {};
    check(any.GetIpStr(host, 127) == 0);
    const char* target = ps.path_offset > 0 ? url + ps.path_offset : "/";
    std::string request;
    detail::RenderGetRequest(target, host, ps.port, std::string(), request);
    CHttpParser parser;
    parser.SetHeaderOnly(true);
    check(parser.Parse(request.data(), static_cast<int>(request.size())) == HTTP_PARSE_COMPLETE);
    check(parser.GetReqMethod() && !strcmp(parser.GetReqMethod(), "GET") && parser.GetURI() &&
          !strcmp(parser.GetURI(), target) && parser.Value("Host"));
}

}  // namespace

FUZZ_TARGET(0, 4096) {
    check_url(in.c_str());
    if (detail::IsHeadRequest(in.data(), static_cast<int>(in.size()))) {
        const size_t i = in.find_first_not_of("\r\n");
        // The parser reads a text that holds a NUL as ending there.
        check(i != std::string::npos && in.size() - i >= 5 &&
              text::equal_nocase(std::string_view(in).substr(i, 4), "head") &&
              (in[i + 4] == ' ' || in[i + 4] == '\0'));
    }
}
