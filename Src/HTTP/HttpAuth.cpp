#include "HTTP/HttpAuth.h"

#include <atomic>
#include <cstring>

#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Mardel/Md5.h"
#include "Mardel/Time.h"
#include "Sablon/StrParser.h"

namespace Halvex {
namespace Corvio {

namespace {

// Fixed sizes of the rendered texts: the Basic user:password and each of the
// two parts of a Digest value hold at most this many characters.
const size_t kBasicMax = 1023;
const size_t kDigestPartMax = 2047;

bool has_any(const std::string& text, const char* set, size_t set_len) {
    return text.find_first_of(set, 0, set_len) != std::string::npos;
}

bool has_line_break(const std::optional<std::string>& text) {
    return text && has_any(*text, "\r\n", 2);
}

std::string& append_quoted(std::string& out, const char* name, const std::string& value) {
    out += name;
    out += '=';
    out += quoted_string(value);
    return out;
}

// Characters that end a header line, and the NUL (the third byte of the set)
// that ends every C reader's text: no quoting makes them safe.
const char kUnquotable[] = "\r\n";
const size_t kUnquotableLen = sizeof(kUnquotable);

// RFC 7617 section 2: no control character in user-id or password, and no
// colon in the user-id (the first colon ends it).
const char* basic_refused_field(const std::string& user, const std::string& password) {
    for (unsigned char c : user) {
        if (c < 0x20 || c == 0x7f || c == ':')
            return "user-id";
    }
    for (unsigned char c : password) {
        if (c < 0x20 || c == 0x7f)
            return "password";
    }
    return nullptr;
}

}  // namespace

void CHttpAuth::SetUserInfo(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

void CHttpAuth::SetUri(const std::string& uri) {
    m_uri = uri;
}

void CHttpAuth::SetMethod(const std::string& method) {
    m_method = method;
}

void CHttpAuth::SetWWWAuthenticate(const std::string& challenge) {
    m_www_authenticate.assign(challenge.c_str());
    Sablon::CStrParser parser(m_www_authenticate.data(),
                              static_cast<int>(m_www_authenticate.size()));
    m_auth_type = parse_auth_type(parser);
}

void CHttpAuth::SetPasswordType(int type) {
    m_password_type = type;
}

void CHttpAuth::SetBody(const char* body, int len) {
    if (body && len > 0)
        m_body.assign(body, static_cast<size_t>(len));
    else
        m_body.clear();
}

bool CHttpAuth::GetAuthorization(std::string& value) {
    if (m_user.empty() || m_password.empty()) {
        MARDEL_LOG(3, "user info not set, error.\n");
        return false;
    }
    value.clear();
    Sablon::CStrParser parser(m_www_authenticate.data(),
                              static_cast<int>(m_www_authenticate.size()));
    m_auth_type = parse_auth_type(parser);
    if (m_auth_type == AUTH_BASIC) {
        if (m_password_type != 0) {
            MARDEL_LOG(3, "password is a digest HA1, not sent in basic auth\n");
            return false;
        }
        return auth_basic(m_user, m_password, value);
    }
    if (m_auth_type == AUTH_DIGEST)
        return format_digest_authorization(value);
    MARDEL_LOG(3, "WWWAuthenticate info error:%s\n", m_www_authenticate.c_str());
    return false;
}

bool CHttpAuth::auth_basic(const std::string& user, const std::string& password,
                           std::string& value) {
    value.clear();
    if (const char* field = basic_refused_field(user, password)) {
        MARDEL_LOG(3, "invalid character in basic %s\n", field);
        return false;
    }
    const size_t len = user.size() + 1 + password.size();
    // A cut pair would be other credentials: refuse it (RFC 7617 section 2).
    if (len > kBasicMax) {
        MARDEL_LOG(3, "user:password too long for basic auth:%zu\n", len);
        return false;
    }
    std::string pair;
    pair.reserve(len);
    pair += user;
    pair += ':';
    pair += password;
    char encoded[2048] = {0};
    if (Utils::base64Encode(encoded, pair.data(), static_cast<int>(pair.size())) < 0)
        return false;
    value = "Basic ";
    value += encoded;
    return true;
}

bool CHttpAuth::parse_auth_diget_header() {
    parse_digest_challenge(m_www_authenticate, m_challenge);
    if (!m_challenge.realm || !m_challenge.nonce) {
        MARDEL_LOG(3, "invalid auth from svr:%s\n", m_www_authenticate.c_str());
        return false;
    }
    if (!digest_algorithm_supported(m_challenge.algorithm)) {
        MARDEL_LOG(3, "invalid auth from algorithm svr:%s\n", m_www_authenticate.c_str());
        return false;
    }
    return true;
}

std::string CHttpAuth::make_cnonce() {
    // The clock alone repeats within one tick; the sequence number keeps two
    // nonces of one process apart.
    static std::atomic<uint64_t> sequence{0};
    return digest_cnonce(Mardel::CTime::getCurrentMicroSecond(),
                         sequence.fetch_add(1, std::memory_order_relaxed));
}

bool CHttpAuth::make_client_nonce(digest_challenge& challenge) {
    if (!challenge.cnonce) {
        challenge.cnonce = make_cnonce();
        if (challenge.nc == 0)
            ++challenge.nc;
    }
    return challenge.cnonce->size() > 0;
}

bool CHttpAuth::auth_digest(digest_challenge& challenge, const std::string& method,
                            const std::string& uri, const std::string& user,
                            const std::string& password, std::string& response) {
    if (!challenge.realm) {
        MARDEL_LOG(3, "Digest Authentication: Mandatory 'realm' value not available");
        return false;
    }
    if (!challenge.nonce) {
        MARDEL_LOG(3, "Digest Authentication: Mandatory 'nonce' value not available");
        return false;
    }
    const std::string& target = uri.empty() ? std::string("/") : uri;

    // HA1, RFC 2617 section 3.2.2.2.
    std::string ha1;
    if (challenge.ha1) {
        ha1 = *challenge.ha1;
    } else {
        if (m_password_type != 0) {
            // A precomputed HA1 is hashed as text: it must be the 32 digits,
            // in the lower case every server computes.
            if (!is_digest_hex(password)) {
                MARDEL_LOG(3, "password is not a 32-digit hexadecimal HA1\n");
                return false;
            }
            ha1 = text::to_lower(password);
        } else {
            ha1 = digest_ha1(user, *challenge.realm, password);
        }
        if (digest_algorithm_is_sess(challenge.algorithm)) {
            if (!make_client_nonce(challenge))
                return false;
            ha1 = digest_ha1_sess(ha1, *challenge.nonce, *challenge.cnonce);
            challenge.ha1 = ha1;
        }
    }

    // HA2, RFC 2617 section 3.2.2.3.
    const digest_qop qop = choose_digest_qop(challenge.qop);
    const std::string ha2 = digest_ha2(method, target, qop.form == digest_qop::AUTH_INT, m_body);

    // request-digest, RFC 2617 section 3.2.2.1.
    std::string result;
    if (qop.form != digest_qop::NONE) {
        if (!make_client_nonce(challenge))
            return false;
        result = digest_response(ha1, *challenge.nonce, digest_nc_text(challenge.nc),
                                 *challenge.cnonce, qop.token, ha2);
    } else {
        result = digest_response(ha1, *challenge.nonce, ha2);
    }
    if (ha1.size() != 32 || ha2.size() != 32 || result.size() != 32)
        return false;
    response = result;
    return true;
}

bool CHttpAuth::format_digest_authorization(std::string& value) {
    if (!parse_auth_diget_header())
        return false;
    return compose_digest_authorization(value);
}

bool CHttpAuth::compose_digest_authorization(std::string& value) {
    const digest_challenge& c = m_challenge;
    const std::string uri = m_uri.empty() ? std::string("/") : m_uri;

    // Every text below is written as a quoted-string (a '\' or '"' as a
    // quoted-pair) or as a token: one that would end the line is refused.
    struct Check {
        const char* name;
        bool bad;
    } checks[] = {
        {"username", has_any(m_user, kUnquotable, kUnquotableLen)},
        {"uri", has_any(uri, kUnquotable, kUnquotableLen)},
        {"realm", has_line_break(c.realm)},
        {"nonce", has_line_break(c.nonce)},
        {"opaque", has_line_break(c.opaque)},
        {"qop", has_line_break(c.qop)},
        {"algorithm", has_line_break(c.algorithm)},
        {"cnonce", c.cnonce && has_any(*c.cnonce, kUnquotable, kUnquotableLen)},
    };
    for (const Check& check : checks) {
        if (check.bad) {
            MARDEL_LOG(3, "invalid character in digest %s\n", check.name);
            return false;
        }
    }

    std::string response;
    if (!auth_digest(m_challenge, m_method, uri, m_user, m_password, response))
        return false;

    std::string head = "Digest ";
    append_quoted(head, "username", m_user);
    append_quoted(head += ',', "realm", *c.realm);
    append_quoted(head += ',', "nonce", *c.nonce);
    append_quoted(head += ',', "uri", uri);
    append_quoted(head += ',', "response", response);

    // Optional directives in a fixed order; nc, when present, comes last and
    // without a comma after it.
    std::string tail;
    if (c.algorithm)
        append_quoted(tail, "algorithm", *c.algorithm) += ',';
    if (c.cnonce)
        append_quoted(tail, "cnonce", *c.cnonce) += ',';
    if (c.opaque)
        append_quoted(tail, "opaque", *c.opaque) += ',';
    const digest_qop qop = choose_digest_qop(c.qop);
    if (qop.present) {
        if (qop.quoted)
            append_quoted(tail, "qop", qop.token);
        else
            tail += "qop=" + qop.token;
        tail += ',';
    }
    if (c.nc != 0)
        tail += "nc=" + digest_nc_text(c.nc);

    if (head.size() > kDigestPartMax || tail.size() > kDigestPartMax) {
        MARDEL_LOG(3, "digest authorization too long:%zu\n",
                   head.size() > tail.size() ? head.size() : tail.size());
        return false;
    }
    value = head;
    if (!tail.empty())
        value += "," + tail;
    return true;
}

}  // namespace Corvio
}  // namespace Halvex
