// Authorization values for a server's challenge (RFC 7235 section 4.2):
// Basic (RFC 7617) and Digest with MD5 / MD5-sess and qop auth / auth-int
// (RFC 2617). Internal to the library.
//
// One object answers one request: set the credentials, the request's target,
// method (and body, for auth-int) and the challenge, then GetAuthorization.
// Every answer that uses a client nonce carries a new one and the nonce
// count 1: no state is carried from one request to the next.
//
// Quoted values (user name, target, and the realm, nonce, opaque and qop read
// from the challenge, unescaped) are written as quoted-strings, a '\' or '"'
// as a quoted-pair (RFC 7616 section 3.4, RFC 9110 section 5.6.4). Texts that
// would break the Authorization line are refused, never written: CR, LF or NUL
// in the user name or target, or CR or LF in the realm, nonce, opaque, qop or
// algorithm of the challenge, with the level 3 line "invalid character in
// digest <directive>". Basic refuses a control character in the user-id or
// password and a colon in the user-id (RFC 7617 section 2) with "invalid
// character in basic user-id" or "... basic password", and never sends a
// Digest HA1 (password type not 0). A Basic user:password of more than 1023
// characters and a value that would not fit its 2047-character parts are
// refused too. No log line shows a credential.
#pragma once

#include <string>

#include "HTTP/HttpDigest.h"

namespace Halvex {
namespace Sablon {
class CStrParser;
}

namespace Corvio {

class CHttpAuth {
public:
    CHttpAuth() = default;
    CHttpAuth(const CHttpAuth&) = delete;
    CHttpAuth& operator=(const CHttpAuth&) = delete;

    void SetUserInfo(const std::string& user, const std::string& password);
    void SetUri(const std::string& uri);
    void SetMethod(const std::string& method);
    // The value of a WWW-Authenticate field, without the field name. Text
    // after a NUL byte is not part of it.
    void SetWWWAuthenticate(const std::string& challenge);
    // 0: the password is the plain password; any other value: it is the
    // Digest HA1, 32 hexadecimal digits, and a Basic challenge is refused
    // ("password is a digest HA1, not sent in basic auth"): the HA1 answers
    // Digest for its realm, so it never goes out in clear.
    void SetPasswordType(int type);
    // The request body, hashed for qop auth-int (RFC 2617 section 3.2.2.3);
    // copied. Default: no body (the MD5 of zero bytes).
    void SetBody(const char* body, int len);

    // The Authorization value for the challenge: true and the value, or
    // false (with a log line saying why) and `value` empty; when user or
    // password is empty, `value` is not touched.
    bool GetAuthorization(std::string& value);

    // "Basic " and the Base64 form of user:password. False, with a level 3
    // log line, when a field holds a character RFC 7617 forbids or
    // user:password is longer than 1023 characters.
    static bool auth_basic(const std::string& user, const std::string& password,
                           std::string& value);

    // Steps of GetAuthorization for a Digest challenge, exposed so that a
    // caller can fix the client values: after parse_auth_diget_header, set
    // challenge().cnonce and challenge().nc, then compose_digest_authorization
    // uses them instead of making a client nonce.

    // Parses the challenge into challenge() (every earlier value dropped).
    // False, with a log line, without realm or nonce or with an algorithm
    // other than MD5 / MD5-sess.
    bool parse_auth_diget_header();
    // The Digest response (32 hexadecimal digits) for the current record;
    // makes the client nonce when the qop form or MD5-sess needs one and
    // none is set.
    bool auth_digest(digest_challenge& challenge, const std::string& method, const std::string& uri,
                     const std::string& user, const std::string& password, std::string& response);
    // parse_auth_diget_header, then compose_digest_authorization.
    bool format_digest_authorization(std::string& value);
    // The whole Digest value from the current record.
    bool compose_digest_authorization(std::string& value);

    digest_challenge& challenge() { return m_challenge; }
    int auth_type() const { return m_auth_type; }

private:
    std::string make_cnonce();
    bool make_client_nonce(digest_challenge& challenge);

    std::string m_user;
    std::string m_password;
    std::string m_uri;
    std::string m_www_authenticate;
    std::string m_method;
    std::string m_body;
    digest_challenge m_challenge;
    int m_auth_type = AUTH_NONE;
    int m_password_type = 0;
};

}  // namespace Corvio
}  // namespace Halvex
