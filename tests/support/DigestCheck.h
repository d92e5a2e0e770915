// MD5 in lower-case hex, and the request-digest of RFC 2617 section 3.2.2 for
// the unquoted values `v` of an Authorization value (username, realm, nonce,
// uri, nc, cnonce); a qop other than auth or auth-int (any case) counts as none.
#pragma once

#include <map>
#include <string>

#include "HTTP/HttpText.h"
#include "Mardel/Md5.h"

namespace corvio_test {

inline std::string Md5Hex(const std::string& text) {
    Halvex::Utils::CMd5 md5;
    md5.update(text.data(), text.size());
    char out[33] = {};
    return md5.hex(out), out;
}

inline std::string DigestResponse(std::map<std::string, std::string> v, const std::string& password,
                                  bool prehashed, bool sess, const std::string& qop,
                                  const std::string& method, const std::string& body) {
    using Halvex::Corvio::text::equal_nocase;
    std::string ha1 =
        prehashed ? password : Md5Hex(v["username"] + ":" + v["realm"] + ":" + password);
    ha1 = sess ? Md5Hex(ha1 + ":" + v["nonce"] + ":" + v["cnonce"]) : ha1;
    const bool integrity = equal_nocase(qop.c_str(), "auth-int");
    const std::string ha2 = Md5Hex(method + ":" + v["uri"] + (integrity ? ":" + Md5Hex(body) : ""));
    const bool with_qop = integrity || equal_nocase(qop.c_str(), "auth");
    return Md5Hex(ha1 + ":" + v["nonce"] + ":" +
                  (with_qop ? v["nc"] + ":" + v["cnonce"] + ":" + qop + ":" : "") + ha2);
}

}  // namespace corvio_test
