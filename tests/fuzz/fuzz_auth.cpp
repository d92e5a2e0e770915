// Authorization values from arbitrary challenge texts. Input layout:
//   byte 0: flags: bit 0 pre-hashed password, bit 1 that password is a valid
//           HA1, bit 2 a request body, bit 3 an odd user name
//   byte 1: method (index into a small list)
//   byte 2: target length n (mod 64), then n bytes of target
//   rest:   the WWW-Authenticate value
// Whatever the input, a value that is produced never holds CR, LF or NUL and
// begins with its scheme.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "HTTP/HttpAuth.h"
#include "Mardel/Log.h"
#include "fuzz_common.h"

namespace {

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_common::quiet_log();
    if (size < 3)
        return 0;
    const uint8_t flags = data[0];
    static const char* const kMethods[] = {"GET", "HEAD", "POST", "", "PUT", "OPTIONS"};
    const char* method = kMethods[data[1] % (sizeof(kMethods) / sizeof(kMethods[0]))];
    size_t uri_len = data[2] % 64;
    if (uri_len > size - 3)
        uri_len = size - 3;
    const std::string uri(reinterpret_cast<const char*>(data) + 3, uri_len);
    const std::string challenge(reinterpret_cast<const char*>(data) + 3 + uri_len,
                                size - 3 - uri_len);

    Halvex::Corvio::CHttpAuth auth;
    const std::string password =
        (flags & 1) && (flags & 2) ? "0123456789abcdef0123456789ABCDEF" : "Circle Of Life";
    auth.SetUserInfo((flags & 8) ? std::string("Mu\"fa\rsa\n", 9) : "Mufasa", password);
    auth.SetPasswordType(flags & 1);
    auth.SetMethod(method);
    auth.SetUri(uri);
    if (flags & 4)
        auth.SetBody("a=1&b=2", 7);
    auth.SetWWWAuthenticate(challenge);

    for (int round = 0; round < 2; ++round) {
        std::string value;
        if (!auth.GetAuthorization(value))
            continue;
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            abort();
        if (!starts_with(value, "Basic ") && !starts_with(value, "Digest "))
            abort();
    }
    return 0;
}
