// Authorization values from arbitrary challenge texts. Input: byte 0 flags
// (bit 0 pre-hashed password, bit 1 that password is a valid HA1, bit 2 a
// request body, bit 3 an odd user name), byte 1 the method (index into a small
// list), byte 2 a target length n (mod 64), then n bytes of target, then the
// WWW-Authenticate value. A value produced never holds CR, LF or NUL and
// begins with its scheme.
#include <algorithm>

#include "HTTP/HttpAuth.h"
#include "fuzz_common.h"

FUZZ_TARGET(3, SIZE_MAX) {
    const uint8_t flags = data[0];
    static const char* const kMethods[] = {"GET", "HEAD", "POST", "", "PUT", "OPTIONS"};
    const size_t uri_len = std::min<size_t>(data[2] % 64, in.size() - 3);
    Halvex::Corvio::CHttpAuth auth;
    auth.SetUserInfo((flags & 8) ? std::string("Mu\"fa\rsa\n", 9) : "Mufasa",
                     (flags & 3) == 3 ? "0123456789abcdef0123456789ABCDEF" : "Circle Of Life");
    auth.SetPasswordType(flags & 1);
    auth.SetMethod(kMethods[data[1] % 6]);
    auth.SetUri(in.substr(3, uri_len));
    if (flags & 4)
        auth.SetBody("a=1&b=2", 7);
    auth.SetWWWAuthenticate(in.substr(3 + uri_len));
    for (int round = 0; round < 2; ++round) {
        std::string value;
        if (auth.GetAuthorization(value))
            fuzz_common::check(value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
                               (value.rfind("Basic ", 0) == 0 || value.rfind("Digest ", 0) == 0));
    }
}
